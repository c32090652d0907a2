// Test child: child_tool <stdout bytes> <stderr bytes> <exit code>
// Writes the given number of 'o' bytes to standard output, then of 'e' bytes to standard
// error, unbuffered, and exits with the code (decimal or 0x hexadecimal, taken as an
// unsigned 32-bit value so that Windows status codes can be produced).
// child_tool --kill-self ends the process by a signal where there are signals.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <unistd.h>
#endif

namespace {

void writeAll(bool toError, std::string const& bytes) {
#ifdef _WIN32
  HANDLE const handle = GetStdHandle(toError ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  size_t done = 0;
  while (done < bytes.size()) {
    DWORD written = 0;
    if (!WriteFile(handle, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &written, nullptr)) return;
    done += written;
  }
#else
  int const fd = toError ? 2 : 1;
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t const written = write(fd, bytes.data() + done, bytes.size() - done);
    if (written <= 0) return;
    done += static_cast<size_t>(written);
  }
#endif
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--kill-self") == 0) {
#ifdef _WIN32
    std::abort();
#else
    raise(SIGKILL);
#endif
  }
  if (argc != 4) {
    std::fprintf(stderr, "usage: child_tool <stdout bytes> <stderr bytes> <exit code>\n");
    return 2;
  }
  writeAll(false, std::string(std::strtoul(argv[1], nullptr, 10), 'o'));
  writeAll(true, std::string(std::strtoul(argv[2], nullptr, 10), 'e'));
  unsigned long const code = std::strtoul(argv[3], nullptr, 0);
#ifdef _WIN32
  ExitProcess(static_cast<UINT>(code));
#else
  return static_cast<int>(code);
#endif
}
