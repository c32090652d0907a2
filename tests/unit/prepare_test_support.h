#pragma once
// Fixtures for the preparation of the staged tree: a staging directory, the environment
// values, captured log lines and stand-ins for the preparation tools.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/log.h"
#include "child_tools.h"
#include "fs_fixture.h"
#include "env/environment.h"
#include "install/prepare.h"

class PrepareTest : public ::testing::Test {
 protected:
  void SetUp() override { env.channel = DEMO; }

  Step prepare() { return Prepare::tree(env, installDirNew); }

  TestFs::TempDir dir;
  std::string installDirNew = dir.path();
  EnvironmentValues env;
  std::string out;
  std::string err;
  Log::Capture capture{out, err};
};

// Copies of record_args under the bare names of preparation tools, found by those names
// for as long as this lives: their directory is the only one on PATH (where names are
// searched for) and the working directory (where a bare name is taken as a path). The
// tool named failing exits with 1. Every run is recorded.
class StandInTools {
 public:
  explicit StandInTools(std::vector<std::string> const& names, std::string const& failing = "")
      : fail_("QUENZA_RECORD_FAIL", failing.empty() ? "-" : failing) {
    for (std::string const& name : names) {
      std::filesystem::copy_file(ChildTools::fsPath(ChildTools::toolPath("record_args")),
                                 bin_.fsPath() / ChildTools::fsPath(name));
    }
    ChildTools::changeDirectory(bin_.path());
  }
  ~StandInTools() { ChildTools::changeDirectory(savedCwd_); }
  StandInTools(StandInTools const&) = delete;
  StandInTools& operator=(StandInTools const&) = delete;

  std::filesystem::path record() const { return bin_.fsPath() / "record.txt"; }
  std::vector<ChildTools::Report> reports() const { return ChildTools::parseReports(ChildTools::readFile(record())); }

 private:
  TestFs::TempDir bin_;
  std::string const savedCwd_ = ChildTools::workingDirectory();
  ChildTools::ScopedVariable path_{"PATH", bin_.path()};
  ChildTools::ScopedVariable record_{"QUENZA_RECORD_FILE", ChildTools::utf8Of(bin_.fsPath() / "record.txt")};
  ChildTools::ScopedVariable fail_;
};
