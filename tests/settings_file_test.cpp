#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#ifndef _WIN32
#include <unistd.h>
#endif

#include "app/settings_file.h"

using namespace lumo;
namespace fs = std::filesystem;

namespace {

struct TempDir {
    fs::path path = fs::temp_directory_path() / ("lumo-ini-" + std::to_string(::getpid()) + "-" +
                                                 std::to_string(reinterpret_cast<uintptr_t>(this)));
    TempDir() { fs::create_directories(path); }
    ~TempDir() { fs::remove_all(path); }
};

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void put(const fs::path& p, const std::string& s) { std::ofstream(p, std::ios::binary) << s; }

}  // namespace

TEST(SettingsFile, PathIsTheExecutablesNameWithIni) {
    EXPECT_EQ(settingsPathFor("/opt/lumo/UserLumo"), "/opt/lumo/UserLumo.INI");
    EXPECT_EQ(settingsPathFor("C:\\lumo\\UserLumo.exe"), "C:\\lumo\\UserLumo.INI");
    EXPECT_EQ(settingsPathFor("/opt/v1.2/Other"), "/opt/v1.2/Other.INI");
}

TEST(SettingsFile, MissingFileGivesTheDefaultAndAWriteCreatesIt) {
    TempDir d;
    auto ini = (d.path / "UserLumo.INI").string();
    EXPECT_EQ(readProfileString(ini, "Main", "COM", "COM3"), "COM3");
    ASSERT_TRUE(writeProfileString(ini, "Main", "COM", "COM3"));
    // A new file gets the platform's line breaks.
#ifdef _WIN32
    EXPECT_EQ(slurp(ini), "[Main]\r\nCOM=COM3\r\n");
#else
    EXPECT_EQ(slurp(ini), "[Main]\nCOM=COM3\n");
#endif
    EXPECT_EQ(readProfileString(ini, "Main", "COM", "x"), "COM3");
}

TEST(SettingsFile, ReadsWithProfileStringRules) {
    TempDir d;
    auto ini = (d.path / "u.INI").string();
    put(ini, "; comment\r\n[Other]\r\nCOM=COM9\r\n[ main ]\r\n  com =  \"COM7\"  \r\n");
    EXPECT_EQ(readProfileString(ini, "Main", "COM", "COM3"), "COM7");
    EXPECT_EQ(readProfileString(ini, "Main", "Missing", "dflt"), "dflt");
    EXPECT_EQ(readProfileString(ini, "Nowhere", "COM", "dflt"), "dflt");
}

TEST(SettingsFile, WriteKeepsEverythingElseByteForByte) {
    TempDir d;
    auto ini = (d.path / "u.INI").string();
    const std::string before =
        "; the operator's notes\r\n[Window]\r\nLeft=10\r\n\r\n[Main]\r\nBaud=9600\r\nCOM=COM1\r\n"
        "Extra = kept ; with a comment\r\n[Last]\r\nX=1";
    put(ini, before);
    ASSERT_TRUE(writeProfileString(ini, "Main", "COM", "/dev/ttyUSB0"));
    std::string expected = before;
    expected.replace(expected.find("COM=COM1"), 8, "COM=/dev/ttyUSB0");
    EXPECT_EQ(slurp(ini), expected);
}

TEST(SettingsFile, WriteAddsAMissingKeyOrSection) {
    TempDir d;
    auto ini = (d.path / "u.INI").string();
    put(ini, "[Main]\r\nBaud=9600\r\n\r\n[Tail]\r\nY=2\r\n");
    ASSERT_TRUE(writeProfileString(ini, "Main", "COM", "COM2"));
    EXPECT_EQ(slurp(ini), "[Main]\r\nBaud=9600\r\nCOM=COM2\r\n\r\n[Tail]\r\nY=2\r\n");

    put(ini, "[Tail]\nY=2");
    ASSERT_TRUE(writeProfileString(ini, "Main", "COM", "COM4"));
    EXPECT_EQ(slurp(ini), "[Tail]\nY=2\n[Main]\nCOM=COM4\n");
}

TEST(SettingsFile, FailedWriteLeavesNoFileBehind) {
    TempDir d;
    put(d.path / "file", "x");
    auto ini = (d.path / "file" / "u.INI").string();  // a folder that cannot be made
    EXPECT_FALSE(writeProfileString(ini, "Main", "COM", "COM3"));
    EXPECT_FALSE(fs::exists(ini));
}

#ifndef _WIN32
// An installed program finds its folder read-only and keeps its settings in the user's
// configuration folder; a portable copy keeps them beside itself. Folder rights are checked
// as an ordinary user (the tests may run as root, whom no folder refuses). On Windows the
// settings always stay beside the executable.
TEST(SettingsFile, LocationIsBesideTheExecutableUnlessThatFolderIsReadOnly) {
    TempDir d;
    const fs::path portable = d.path / "portable", installed = d.path / "bin",
                   config = d.path / "config";
    fs::create_directories(portable);
    fs::create_directories(installed);
    fs::permissions(portable, fs::perms::all);
    auto readOnly = [&](bool on) {
        fs::permissions(installed, fs::perms::owner_write,
                        on ? fs::perm_options::remove : fs::perm_options::add);
    };
    auto locate = [](const fs::path& exe) {
        const bool root = ::geteuid() == 0;
        if (root && (::setegid(65534) != 0 || ::seteuid(65534) != 0)) return std::string("?");
        std::string where = settingsLocationFor(exe.string());
        if (root && (::seteuid(0) != 0 || ::setegid(0) != 0)) std::abort();
        return where;
    };
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);

    EXPECT_EQ(locate(portable / "UserLumo"), (portable / "UserLumo.INI").string());
    readOnly(true);
    const std::string inConfig = (config / "UserLumo" / "UserLumo.INI").string();
    EXPECT_EQ(locate(installed / "UserLumo"), inConfig);
    // The first write makes the folder; the format is the same.
    EXPECT_FALSE(fs::exists(config));
    EXPECT_TRUE(writeProfileString(inConfig, "Main", "COM", "/dev/ttyUSB0"));
    EXPECT_EQ(slurp(inConfig), "[Main]\nCOM=/dev/ttyUSB0\n");

    // A file already beside the executable is used, writable folder or not.
    readOnly(false);
    put(installed / "UserLumo.INI", "[Main]\nCOM=COM2\n");
    readOnly(true);
    EXPECT_EQ(locate(installed / "UserLumo"), (installed / "UserLumo.INI").string());
    readOnly(false);
    fs::remove(installed / "UserLumo.INI");

    // Without XDG_CONFIG_HOME (or with a relative one, which does not count) it is ~/.config.
    readOnly(true);
    ::setenv("XDG_CONFIG_HOME", "relative/config", 1);
    ::setenv("HOME", d.path.c_str(), 1);
    EXPECT_EQ(locate(installed / "UserLumo"), (d.path / ".config/UserLumo/UserLumo.INI").string());
    readOnly(false);
    ::unsetenv("XDG_CONFIG_HOME");
    ::setenv("HOME", home.c_str(), 1);
}
#endif
