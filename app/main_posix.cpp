// Entry point of the Linux and macOS builds: the arguments arrive as a vector already.
#include <string>
#include <vector>

#include "app/app_main.h"

int main(int argc, char** argv) {
  std::vector<std::string> args;
  args.reserve(argc > 0 ? static_cast<size_t>(argc) : 1);
  for (int i = 0; i < argc; ++i) args.emplace_back(argv[i] ? argv[i] : "");
  // Some exec paths may hand over no argument at all; element 0 must exist.
  if (args.empty()) args.emplace_back("noname");
  return appMain(args);
}
