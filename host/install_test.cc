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

// A build tree under `dir` holding a worker and the launcher; answers its bin/ folder.
fs::path build_tree(const fs::path& dir) {
  write(dir / "bin" / "rivi_worker", "built worker");
  write(dir / "share" / "qn_rivi" / "rivi", "launcher");
  return dir / "bin";
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
  const fs::path bin = build_tree(scratch.path() / "build");
  const fs::path token = scratch.path() / "a/data/metrics_token";
  install_panel(scratch.path() / "a", bin);
  const std::string first = read(token);
  EXPECT_GE(first.size(), 33u);
  EXPECT_EQ(fs::status(token).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  install_panel(scratch.path() / "a", bin);
  EXPECT_EQ(read(token), first);
  install_panel(scratch.path() / "b", bin);
  EXPECT_NE(read(scratch.path() / "b/data/metrics_token"), first);
}

// Installing again narrows the token to its owner but keeps a group's read right, so that a
// scraper's group given the token (install -g prometheus -m 0640) keeps reading it; every other
// right is taken away, also from the group.
TEST(InstallPanel, KeepsTheMetricsTokenReadableByItsGroupAlone) {
  testing::TempRoot scratch(false);
  const fs::path bin = build_tree(scratch.path() / "build");
  const fs::path token = scratch.path() / "root/data/metrics_token";
  install_panel(scratch.path() / "root", bin);
  const auto mode_after_install = [&](fs::perms mode) {
    fs::permissions(token, mode);
    install_panel(scratch.path() / "root", bin);
    return fs::status(token).permissions() & fs::perms::all;
  };
  const fs::perms owner = fs::perms::owner_read | fs::perms::owner_write;
  const fs::perms group_read = owner | fs::perms::group_read;
  EXPECT_EQ(mode_after_install(group_read), group_read);
  EXPECT_EQ(mode_after_install(fs::perms::all), group_read);
  EXPECT_EQ(mode_after_install(owner | fs::perms::group_write | fs::perms::others_read), owner);
  EXPECT_EQ(mode_after_install(fs::perms::owner_read | fs::perms::others_read), owner);
  // The database and the other secrets are narrowed to the owner, whatever their group had.
  fs::permissions(scratch.path() / "root/data/default.db", group_read);
  install_panel(scratch.path() / "root", bin);
  EXPECT_EQ(fs::status(scratch.path() / "root/data/default.db").permissions() & fs::perms::all, owner);
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
