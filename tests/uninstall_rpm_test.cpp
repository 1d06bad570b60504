// uninstallKestrun end to end against the real rpm: a tiny Kestrun package is
// built with rpmbuild and installed into a private rpm database, the
// uninstaller runs with the real rpm on PATH, and afterwards the package is
// unknown and its files are gone.
//
// Nothing reaches the host: the database rpm uses by default (the uninstaller
// passes no database option) gets a fresh tmpfs, rpm's scratch directory
// /var/tmp too, the build tree is under the namespace's /tmp, and the
// package's files go to the /etc and /usr/sbin overlays.
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "testkit.h"

using namespace kstest;

namespace {

const EnvEdits kEnv = {"HOME=/tmp/home", "PATH=/usr/bin:/bin:/usr/sbin:/sbin"};
constexpr char kTop[] = "/tmp/rpmbuild";
const std::string kPayloads[] = {"/usr/sbin/kestrun-payload", "/etc/kestrun/payload.conf"};

// The package: two files under the namespace's overlays, nothing to run.
constexpr char kRecipe[] = R"(Name: Kestrun
Version: 1.0
Release: 1
Summary: Kestrun stand-in package for the uninstaller's tests
License: MIT
BuildArch: noarch

%description
Two payload files, so that their removal shows the package was erased.

%install
mkdir -p %{buildroot}/usr/sbin %{buildroot}/etc/kestrun
echo payload > %{buildroot}/usr/sbin/kestrun-payload
echo payload > %{buildroot}/etc/kestrun/payload.conf

%files
/usr/sbin/kestrun-payload
%dir /etc/kestrun
/etc/kestrun/payload.conf
)";

bool OnTmpfs(const std::string& path) {
    struct statfs fs {};
    return statfs(path.c_str(), &fs) == 0 && static_cast<long>(fs.f_type) == TMPFS_MAGIC;
}

RunResult Rpm(std::vector<std::string> argv) {
    return RunProgram(argv, kEnv, std::chrono::seconds(60));
}

std::string Trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
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
    if (!OnTmpfs(dir)) return ::testing::AssertionFailure() << dir << " is not private";
    return ::testing::AssertionSuccess();
}

TEST(UninstallKestrunRpm, InstalledPackageIsErased) {
    const auto eval = Rpm({"rpm", "--eval", "%_dbpath"});
    ASSERT_EQ(eval.exit_code(), 0)
        << "rpm is missing (tools/test installs Debian's rpm): " << eval.err;
    const std::string dbpath = Trimmed(eval.out);
    ASSERT_TRUE(!dbpath.empty() && dbpath[0] == '/') << dbpath;
    ASSERT_TRUE(MountPrivate(dbpath));
    ASSERT_TRUE(MountPrivate("/var/tmp"));
    ASSERT_EQ(Rpm({"rpm", "--initdb"}).exit_code(), 0);

    ASSERT_TRUE(std::filesystem::create_directories(std::string(kTop) + "/tmp"));
    const std::string recipe = std::string(kTop) + "/Kestrun.recipe";
    ASSERT_TRUE(WriteFile(recipe, kRecipe));
    const auto build = Rpm({"rpmbuild", "-bb", "--define", std::string("_topdir ") + kTop,
                            "--define", std::string("_tmppath ") + kTop + "/tmp", recipe});
    ASSERT_EQ(build.exit_code(), 0) << build.out << build.err;
    const std::string package = std::string(kTop) + "/RPMS/noarch/Kestrun-1.0-1.noarch.rpm";
    const auto install = Rpm({"rpm", "-i", "--nodeps", package});
    ASSERT_EQ(install.exit_code(), 0) << install.err;
    ASSERT_EQ(Rpm({"rpm", "-q", "Kestrun"}).exit_code(), 0);
    for (const auto& payload : kPayloads) ASSERT_TRUE(Exists(payload)) << payload;

    const auto r = RunProgram({KS_UNINSTALL_BIN}, kEnv, std::chrono::seconds(60));

    EXPECT_EQ(r.exit_code(), 0) << r.err;
    const auto query = Rpm({"rpm", "-q", "Kestrun"});
    EXPECT_EQ(query.exit_code(), 1) << query.out;
    EXPECT_EQ(query.out, "package Kestrun is not installed\n");
    for (const auto& payload : kPayloads) EXPECT_FALSE(Exists(payload)) << payload;
    EXPECT_FALSE(Exists("/etc/kestrun"));
}

}  // namespace
