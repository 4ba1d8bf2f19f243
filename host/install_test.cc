// install_panel's look-up of the plug-in's files beside the running program: a build tree
// (bin/rivi_worker, share/qn_rivi) and an installed tree (bin/, lib/qn_rivi/rivi_worker,
// share/qn_rivi), as the package lays it out.
#include "host/install.h"

#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace rivi {
namespace {
namespace fs = std::filesystem;

void write(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file) << text;
}

std::string read(const fs::path& file) {
  std::ifstream in(file);
  return {std::istreambuf_iterator<char>(in), {}};
}

TEST(InstallPanel, FindsTheWorkerInABuildTreeOrAnInstalledTree) {
  testing::TempRoot scratch(false);
  const fs::path built = scratch.path() / "build";
  write(built / "bin" / "rivi_worker", "built worker");
  write(built / "share" / "qn_rivi" / "rivi", "launcher");
  const fs::path installed = scratch.path() / "usr";
  fs::create_directories(installed / "bin");
  write(installed / "lib" / "qn_rivi" / "rivi_worker", "installed worker");
  write(installed / "share" / "qn_rivi" / "rivi", "launcher");
  write(installed / "share" / "qn_rivi" / "static" / "index.html", "page");

  install_panel(scratch.path() / "from-build", built / "bin");
  EXPECT_EQ(read(scratch.path() / "from-build/plugin/qn_rivi/rivi_worker"), "built worker");

  install_panel(scratch.path() / "from-package", installed / "bin");
  EXPECT_EQ(read(scratch.path() / "from-package/plugin/qn_rivi/rivi_worker"), "installed worker");
  EXPECT_EQ(read(scratch.path() / "from-package/plugin/qn_rivi/rivi"), "launcher");
  EXPECT_EQ(read(scratch.path() / "from-package/plugin/qn_rivi/static/index.html"), "page");
}

// The scrapers' token is made once, random and readable by the owner alone; installing again
// keeps it, so configured scrapers go on working.
TEST(InstallPanel, MakesAPrivateMetricsTokenOnce) {
  testing::TempRoot scratch(false);
  const fs::path built = scratch.path() / "build";
  write(built / "bin" / "rivi_worker", "built worker");
  write(built / "share" / "qn_rivi" / "rivi", "launcher");
  const fs::path token = scratch.path() / "a/data/metrics_token";
  install_panel(scratch.path() / "a", built / "bin");
  const std::string first = read(token);
  EXPECT_GE(first.size(), 33u);
  EXPECT_EQ(fs::status(token).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  install_panel(scratch.path() / "a", built / "bin");
  EXPECT_EQ(read(token), first);
  install_panel(scratch.path() / "b", built / "bin");
  EXPECT_NE(read(scratch.path() / "b/data/metrics_token"), first);
}

TEST(InstallPanel, AMissingWorkerNamesBothPlaces) {
  testing::TempRoot scratch(false);
  const fs::path bin = scratch.path() / "usr" / "bin";
  fs::create_directories(bin);
  write(scratch.path() / "usr" / "share" / "qn_rivi" / "rivi", "launcher");
  try {
    install_panel(scratch.path() / "root", bin);
    FAIL() << "installed without a worker";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "the worker is missing: neither " + (bin / "rivi_worker").string() + " nor " +
                                         (scratch.path() / "usr/lib/qn_rivi/rivi_worker").string() +
                                         " exists");
  }
}

}  // namespace
}  // namespace rivi
