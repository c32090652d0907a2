// AES-GCM of the linked mbedTLS: its bulk path, which takes the whole blocks of a large
// update call several at a time, against its block-by-block path, in the same build. The
// reference feeds the message in pieces of at most 16 bytes, which never reach the bulk
// path; the other side feeds it in update calls of random sizes, from and to buffers at
// odd offsets, separate, in place, or with the output a little before the input, which
// ends where an inaccessible page begins (the library is not instrumented: a read or
// write past the end would otherwise go unseen). Both directions: ciphertexts, plaintexts
// and tags must agree. Keys of 128, 192 and 256 bits; IVs of 12 bytes, of 1 to 64, or
// chosen so that the 32-bit block counter wraps inside the message; additional data of
// 0 to 1 KiB; messages of 0 to 64 KiB, their bytes drawn from a generator seeded by the
// input, so that a short input describes a long message.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>
#include <mbedtls/aes.h>
#include <mbedtls/gcm.h>

#include "fuzz_check.h"

namespace {

constexpr size_t kMaxMessage = 64 * 1024;
constexpr size_t kMaxAad = 1024;
constexpr size_t kTag = 16;

// splitmix64: the message, key, IV and additional data bytes, and the sizes of the pieces.
struct Stream {
  uint64_t state;
  uint64_t next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  size_t below(size_t bound) { return static_cast<size_t>(next() % bound); }
  std::vector<uint8_t> bytes(size_t n) {
    std::vector<uint8_t> out(n);
    for (auto& b : out) b = static_cast<uint8_t>(next());
    return out;
  }
  // Sizes of all kinds: within a block, a few groups of blocks, or most of the message.
  size_t piece(size_t left) {
    static size_t const bounds[] = {16, 70, 300, 2000, 20000, kMaxMessage};
    return below(std::min(left, bounds[below(std::size(bounds))]) + 1);
  }
};

// A buffer whose usable part ends where an inaccessible page begins.
class GuardedBuffer {
 public:
  explicit GuardedBuffer(size_t capacity) {
    size_t const page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_t const usable = (capacity + page - 1) / page * page;
    void* base = mmap(nullptr, usable + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    FUZZ_CHECK(base != MAP_FAILED);
    end_ = static_cast<uint8_t*>(base) + usable;
    FUZZ_CHECK(mprotect(end_, page, PROT_NONE) == 0);
  }
  uint8_t* endingWith(size_t size) { return end_ - size; }

 private:
  uint8_t* end_;
};

// GF(2^128) as GCM numbers it (bit 0 is the most significant of the first byte), for the
// IV whose counter block is chosen.
struct Field {
  uint64_t hi, lo;
  static Field load(uint8_t const* b) {
    Field f{0, 0};
    for (int i = 0; i < 8; ++i) f.hi = f.hi << 8 | b[i];
    for (int i = 8; i < 16; ++i) f.lo = f.lo << 8 | b[i];
    return f;
  }
  void store(uint8_t* b) const {
    for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(hi >> (56 - 8 * i));
    for (int i = 0; i < 8; ++i) b[8 + i] = static_cast<uint8_t>(lo >> (56 - 8 * i));
  }
  Field operator^(Field o) const { return {hi ^ o.hi, lo ^ o.lo}; }
  Field operator*(Field y) const {
    Field z{0, 0};
    for (int i = 0; i < 128; ++i) {
      if (((i < 64 ? hi >> (63 - i) : lo >> (127 - i)) & 1) != 0) z = z ^ y;
      bool const carry = (y.lo & 1) != 0;
      y.lo = y.lo >> 1 | y.hi << 63;
      y.hi >>= 1;
      if (carry) y.hi ^= 0xE100000000000000ull;
    }
    return z;
  }
  // x^(2^128 - 2) = x^-1
  Field inverse() const {
    Field result{1ull << 63, 0};
    Field power = *this;
    for (int bit = 0; bit < 128; ++bit) {
      if (bit > 0) result = result * power;
      power = power * power;
    }
    return result;
  }
};

// A 16-byte IV whose first counter block J0 = IV H^2 + L H (L the length block) is the one
// given: J0 chosen, the IV follows.
std::vector<uint8_t> ivForCounterBlock(std::vector<uint8_t> const& key, uint8_t const j0[16]) {
  mbedtls_aes_context aes;
  mbedtls_aes_init(&aes);
  uint8_t zero[16] = {}, h[16];
  FUZZ_CHECK(mbedtls_aes_setkey_enc(&aes, key.data(), static_cast<unsigned>(key.size() * 8)) == 0);
  FUZZ_CHECK(mbedtls_aes_crypt_ecb(&aes, MBEDTLS_AES_ENCRYPT, zero, h) == 0);
  mbedtls_aes_free(&aes);
  Field const hField = Field::load(h);
  Field const lengths{0, 128};
  Field const hInverse = hField.inverse();
  std::vector<uint8_t> iv(16);
  ((Field::load(j0) ^ lengths * hField) * hInverse * hInverse).store(iv.data());
  return iv;
}

enum class Layout { Separate, InPlace, OutputBefore };

struct Sealed {
  std::vector<uint8_t> text;
  uint8_t tag[kTag];
};

// One pass through the library. The reference takes the additional data at once and the
// message 1 to 16 bytes at a time; otherwise both go in pieces of random sizes, the
// message through the layout given, at the offset given.
Sealed crypt(int mode, std::vector<uint8_t> const& key, std::vector<uint8_t> const& iv,
             std::vector<uint8_t> const& aad, std::vector<uint8_t> const& input, bool reference, Layout layout,
             size_t offset, Stream& pieces) {
  static GuardedBuffer guarded(kMaxMessage + 32);
  mbedtls_gcm_context gcm;
  mbedtls_gcm_init(&gcm);
  FUZZ_CHECK(mbedtls_gcm_setkey(&gcm, MBEDTLS_CIPHER_ID_AES, key.data(), static_cast<unsigned>(key.size() * 8)) == 0);
  FUZZ_CHECK(mbedtls_gcm_starts(&gcm, mode, iv.data(), iv.size()) == 0);
  for (size_t done = 0, n = 0; done < aad.size(); done += n) {
    n = reference ? aad.size() : pieces.piece(aad.size() - done);
    FUZZ_CHECK(mbedtls_gcm_update_ad(&gcm, aad.data() + done, n) == 0);
  }

  size_t const length = input.size();
  std::vector<uint8_t> separate(length + 48, 0xA5);
  uint8_t* const in = guarded.endingWith(length);
  uint8_t* out = separate.data() + 16 + offset;
  if (!reference && layout == Layout::InPlace) out = in;
  if (!reference && layout == Layout::OutputBefore) out = in - 1 - offset;
  if (length > 0) std::memcpy(in, input.data(), length);
  for (size_t done = 0, n = 0; done < length; done += n) {
    n = reference ? 1 + pieces.below(std::min<size_t>(16, length - done)) : pieces.piece(length - done);
    size_t written = ~size_t{0};
    FUZZ_CHECK(mbedtls_gcm_update(&gcm, in + done, n, out + done, n, &written) == 0);
    FUZZ_CHECK(written == n);
  }
  Sealed result;
  result.text.assign(out, out + length);
  size_t written = ~size_t{0};
  FUZZ_CHECK(mbedtls_gcm_finish(&gcm, nullptr, 0, &written, result.tag, kTag) == 0);
  FUZZ_CHECK(written == 0);
  mbedtls_gcm_free(&gcm);
  // Nothing written around a separate output.
  if (!reference && layout == Layout::Separate) {
    for (size_t i = 0; i < 16 + offset; ++i) FUZZ_CHECK(separate[i] == 0xA5);
    for (size_t i = 16 + offset + length; i < separate.size(); ++i) FUZZ_CHECK(separate[i] == 0xA5);
  }
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
  FuzzedDataProvider input(data, size);
  size_t const keyBytes = input.PickValueInArray({16u, 24u, 32u});
  size_t const messageLength = input.ConsumeIntegralInRange<size_t>(0, kMaxMessage);
  size_t const aadLength = input.ConsumeIntegralInRange<size_t>(0, kMaxAad);
  int const ivKind = input.ConsumeIntegralInRange(0, 3);
  Layout const layouts[2] = {static_cast<Layout>(input.ConsumeIntegralInRange(0, 2)),
                             static_cast<Layout>(input.ConsumeIntegralInRange(0, 2))};
  size_t const offsets[2] = {input.ConsumeIntegralInRange<size_t>(0, 15),
                             input.ConsumeIntegralInRange<size_t>(0, 15)};
  // Seeded by the whole input (FNV-1a), so that every input draws other bytes.
  Stream stream{0xCBF29CE484222325ull};
  for (size_t i = 0; i < size; ++i) stream.state = (stream.state ^ data[i]) * 0x100000001B3ull;

  std::vector<uint8_t> const key = stream.bytes(keyBytes);
  std::vector<uint8_t> iv;
  if (ivKind < 2) {
    iv = stream.bytes(12);  // TLS's
  } else if (ivKind == 2) {
    iv = stream.bytes(1 + stream.below(64));
  } else {
    // The counter's last 32 bits run past 0xFFFFFFFF within the message (or just at its end).
    std::vector<uint8_t> j0 = stream.bytes(16);
    uint32_t const counter = 0xFFFFFFFFu - static_cast<uint32_t>(stream.below(messageLength / 16 + 1));
    for (int i = 0; i < 4; ++i) j0[12 + i] = static_cast<uint8_t>(counter >> (24 - 8 * i));
    iv = ivForCounterBlock(key, j0.data());
  }
  std::vector<uint8_t> const aad = stream.bytes(aadLength);
  std::vector<uint8_t> const plain = stream.bytes(messageLength);

  Sealed const expected = crypt(MBEDTLS_GCM_ENCRYPT, key, iv, aad, plain, true, Layout::Separate, 0, stream);
  Sealed const sealed = crypt(MBEDTLS_GCM_ENCRYPT, key, iv, aad, plain, false, layouts[0], offsets[0], stream);
  FUZZ_CHECK(sealed.text == expected.text);
  FUZZ_CHECK(std::memcmp(sealed.tag, expected.tag, kTag) == 0);

  Sealed const opened = crypt(MBEDTLS_GCM_DECRYPT, key, iv, aad, sealed.text, false, layouts[1], offsets[1], stream);
  FUZZ_CHECK(opened.text == plain);
  FUZZ_CHECK(std::memcmp(opened.tag, expected.tag, kTag) == 0);
  Sealed const openedByReference =
      crypt(MBEDTLS_GCM_DECRYPT, key, iv, aad, sealed.text, true, Layout::Separate, 0, stream);
  FUZZ_CHECK(openedByReference.text == plain);
  FUZZ_CHECK(std::memcmp(openedByReference.tag, expected.tag, kTag) == 0);
  return 0;
}
