// AES-GCM decryption speed of the linked mbedTLS alone, for bench/run. Decrypts and
// authenticates 16 KiB records, the largest a TLS record carries and so the size a big
// download is decrypted in, with AES-128 and AES-256. Prints one line per key size,
// "gcm: AES-<bits>-GCM decrypt <MB/s> MB/s", the best of three trials of half a second
// of the process's CPU time: on a shared machine, wall time would mostly measure the
// other processes.
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include <mbedtls/gcm.h>

namespace {

constexpr size_t kRecord = 16384;

double cpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double decryptSpeed(unsigned keyBits) {
  unsigned char key[32], iv[12], aad[13], tag[16];
  for (unsigned i = 0; i < sizeof key; ++i) key[i] = static_cast<unsigned char>(i * 7 + 1);
  for (unsigned i = 0; i < sizeof iv; ++i) iv[i] = static_cast<unsigned char>(i * 13 + 5);
  for (unsigned i = 0; i < sizeof aad; ++i) aad[i] = static_cast<unsigned char>(i);
  std::vector<unsigned char> plain(kRecord), sealed(kRecord), work(kRecord);
  for (size_t i = 0; i < kRecord; ++i) plain[i] = static_cast<unsigned char>(i * 31);

  mbedtls_gcm_context gcm;
  mbedtls_gcm_init(&gcm);
  if (mbedtls_gcm_setkey(&gcm, MBEDTLS_CIPHER_ID_AES, key, keyBits) != 0 ||
      mbedtls_gcm_crypt_and_tag(&gcm, MBEDTLS_GCM_ENCRYPT, kRecord, iv, sizeof iv, aad, sizeof aad, plain.data(),
                                sealed.data(), sizeof tag, tag) != 0) {
    mbedtls_gcm_free(&gcm);
    return -1;
  }
  double best = 0;
  for (int trial = 0; trial < 3; ++trial) {
    double const start = cpuSeconds();
    uint64_t bytes = 0;
    double seconds = 0;
    do {
      for (int i = 0; i < 64; ++i) {
        if (mbedtls_gcm_auth_decrypt(&gcm, kRecord, iv, sizeof iv, aad, sizeof aad, tag, sizeof tag, sealed.data(),
                                     work.data()) != 0) {
          mbedtls_gcm_free(&gcm);
          return -1;
        }
        bytes += kRecord;
      }
      seconds = cpuSeconds() - start;
    } while (seconds < 0.5);
    if (work != plain) {
      mbedtls_gcm_free(&gcm);
      return -1;
    }
    if (bytes / seconds / 1e6 > best) best = bytes / seconds / 1e6;
  }
  mbedtls_gcm_free(&gcm);
  return best;
}

}  // namespace

int main() {
  int status = 0;
  for (unsigned const bits : {128u, 256u}) {
    double const speed = decryptSpeed(bits);
    if (speed < 0) {
      std::fprintf(stderr, "gcm: AES-%u-GCM decryption failed\n", bits);
      status = 1;
      continue;
    }
    std::printf("gcm: AES-%u-GCM decrypt %.0f MB/s\n", bits, speed);
  }
  return status;
}
