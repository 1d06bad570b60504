// uninstallKestrun end to end against the real rpm: the product's own runtime
// package (packaging/rpm/Kestrun.spec, built by the packaging_rpm test) is
// installed into a private rpm database, the uninstaller it installed runs
// with the real rpm on PATH, and afterwards the package is unknown and every
// path it brought is gone.
//
// Nothing reaches the host: ks_sandbox --usr overlays all of /usr (the
// package installs under /usr/sbin, /usr/libexec, /usr/lib, /usr/share) and
// gives /var/tmp, rpm's scratch directory, a fresh tmpfs with the source and
// build trees bound back; the database rpm uses by default (the uninstaller
// passes no database option) gets a fresh tmpfs too. The test checks those
// mounts itself before it writes anything.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "in_sandbox.h"
#include "testkit.h"

using namespace kstest;

namespace {

const EnvEdits kEnv = {"HOME=/tmp/home", "PATH=/usr/bin:/bin:/usr/sbin:/sbin"};
constexpr char kUninstaller[] = "/usr/sbin/uninstallKestrun";

RunResult Rpm(std::vector<std::string> argv) {
    return RunProgram(argv, kEnv, std::chrono::seconds(60));
}

std::string Trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

// The runtime package among those packaging_rpm built (one path a line).
std::string RuntimePackage() {
    const auto list = ReadFile(std::string(KS_RPM_TOPDIR) + "/packages");
    if (!list) return {};
    for (const auto& path : Lines(*list)) {
        const auto name = std::filesystem::path(path).filename().string();
        if (name.rfind("Kestrun-", 0) == 0 && name.rfind("Kestrun-devel-", 0) != 0) return path;
    }
    return {};
}

// A fresh tmpfs over dir. A directory under /tmp is made first (the
// namespace's own); anywhere else it must already exist, as creating it would
// change the host.
::testing::AssertionResult MountPrivate(const std::string& dir) {
    std::error_code error;
    if (dir.rfind("/tmp/", 0) == 0) std::filesystem::create_directories(dir, error);
    if (!std::filesystem::is_directory(dir, error))
        return ::testing::AssertionFailure() << dir << " does not exist outside /tmp";
    if (mount("ks_uninstall_rpm", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0)
        return ::testing::AssertionFailure() << "mount tmpfs on " << dir << ": " << strerror(errno);
    if (!HasFilesystemType(dir.c_str(), TMPFS_MAGIC))
        return ::testing::AssertionFailure() << dir << " is not private";
    return ::testing::AssertionSuccess();
}

TEST(UninstallKestrunRpm, InstalledPackage_Erased) {
    ASSERT_TRUE(HasFilesystemType("/usr", OVERLAYFS_SUPER_MAGIC))
        << "/usr is not overlaid (run under ks_sandbox --usr)";
    ASSERT_TRUE(HasFilesystemType("/var/tmp", TMPFS_MAGIC)) << "/var/tmp is not private";
    const std::string package = RuntimePackage();
    ASSERT_FALSE(package.empty()) << "no runtime package in " << KS_RPM_TOPDIR
                                  << "/packages (the packaging_rpm test builds it)";

    const auto eval = Rpm({"rpm", "--eval", "%_dbpath"});
    ASSERT_EQ(eval.exit_code(), 0)
        << "rpm is missing (tools/test installs Debian's rpm): " << eval.err;
    const std::string dbpath = Trimmed(eval.out);
    ASSERT_TRUE(!dbpath.empty() && dbpath[0] == '/') << dbpath;
    ASSERT_TRUE(MountPrivate(dbpath));
    ASSERT_EQ(Rpm({"rpm", "--initdb"}).exit_code(), 0);
    // The packages are signed with the build's throwaway key.
    const auto key = Rpm({"rpm", "--import", std::string(KS_RPM_TOPDIR) + "/signing-key.asc"});
    ASSERT_EQ(key.exit_code(), 0) << key.err;

    // What the package brings, less what the host's /usr already had (a
    // shared directory stays when the package goes).
    const auto listing = Rpm({"rpm", "-qlp", package});
    ASSERT_EQ(listing.exit_code(), 0) << listing.err;
    std::vector<std::string> brought;
    for (const auto& path : Lines(listing.out))
        if (!Exists(path)) brought.push_back(path);
    ASSERT_NE(std::find(brought.begin(), brought.end(), kUninstaller), brought.end())
        << listing.out;

    // Its dependencies (the C and C++ runtimes) are the host's, unknown to
    // the empty database.
    const auto install = Rpm({"rpm", "-i", "--nodeps", package});
    ASSERT_EQ(install.exit_code(), 0) << install.err;
    ASSERT_EQ(Rpm({"rpm", "-q", "Kestrun"}).exit_code(), 0);
    for (const auto& path : brought) ASSERT_TRUE(Exists(path)) << path;

    const auto r = RunProgram({kUninstaller}, kEnv, std::chrono::seconds(60));

    EXPECT_EQ(r.exit_code(), 0) << r.err;
    const auto query = Rpm({"rpm", "-q", "Kestrun"});
    EXPECT_EQ(query.exit_code(), 1) << query.out;
    EXPECT_EQ(query.out, "package Kestrun is not installed\n");
    for (const auto& path : brought) EXPECT_FALSE(Exists(path)) << path;
}

}  // namespace
