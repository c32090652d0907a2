#include "exec/process.h"

// Temporary: the process runner is not built yet; nothing starts.
namespace Process {
Result run(std::string const&, std::vector<std::string> const&) { return {}; }
bool start(std::string const&, std::vector<std::string> const&) { return false; }
std::wstring buildCommandLine(std::wstring const&, std::vector<std::string> const&) { return {}; }
std::wstring quoteArgument(std::wstring const&) { return {}; }
}  // namespace Process
