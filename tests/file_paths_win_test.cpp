// Paths are UTF-8 inside the program; on Windows they must reach the file system through the
// wide calls, so that folders with Cyrillic letters work. Each check looks at the result
// through the wide Win32 calls directly, not through the program's own path conversion.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "app/settings_file.h"
#include "common/clock.h"

using namespace lumo;

namespace {

std::string utf8(const std::wstring& w) {
    int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, s.data(), n, nullptr, nullptr);
    s.resize(static_cast<size_t>(n - 1));
    return s;
}

// A fresh folder "Отчёты ЛУМО <n>" in the temporary folder, removed with its files at the end.
struct CyrillicFolder {
    std::wstring wide;
    std::string path;  // UTF-8
    CyrillicFolder() {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        wide = std::wstring(temp) + L"Отчёты ЛУМО " + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(wide.c_str(), nullptr);
        path = utf8(wide);
    }
    ~CyrillicFolder() {
        for (const std::wstring& name : files()) DeleteFileW((wide + L"\\" + name).c_str());
        RemoveDirectoryW(wide.c_str());
    }
    std::vector<std::wstring> files() const {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW fd;
        HANDLE h = FindFirstFileW((wide + L"\\*").c_str(), &fd);
        if (h == INVALID_HANDLE_VALUE) return names;
        do {
            std::wstring n = fd.cFileName;
            if (n != L"." && n != L"..") names.push_back(n);
        } while (FindNextFileW(h, &fd));
        FindClose(h);
        return names;
    }
};

}  // namespace

TEST(FilePathsWin, SettingsFileInACyrillicFolderIsWrittenAndReadBack) {
    CyrillicFolder dir;
    const std::string ini = settingsPathFor(dir.path + "\\UserLumo.exe");
    EXPECT_EQ(readProfileString(ini, "Main", "COM", "COM3"), "COM3");
    ASSERT_TRUE(writeProfileString(ini, "Main", "COM", "COM12"));
    EXPECT_EQ(dir.files(), std::vector<std::wstring>{L"UserLumo.INI"});
    EXPECT_EQ(readProfileString(ini, "Main", "COM", "COM3"), "COM12");
    ASSERT_TRUE(writeProfileString(ini, "Main", "COM", "COM4"));  // replaces the existing file
    EXPECT_EQ(readProfileString(ini, "Main", "COM", "COM3"), "COM4");
}

TEST(FilePathsWin, TwoWritersOfTheSettingsFileNeverCollide) {
    CyrillicFolder dir;
    const std::string ini = dir.path + "\\UserLumo.INI";
    auto writer = [&](const char* value, int& failures) {
        for (int i = 0; i < 50; ++i)
            if (!writeProfileString(ini, "Main", "COM", value)) ++failures;
    };
    int failuresA = 0, failuresB = 0;
    std::thread a(writer, "COM5", std::ref(failuresA)), b(writer, "COM6", std::ref(failuresB));
    a.join();
    b.join();
    EXPECT_EQ(failuresA + failuresB, 0);
    const std::string last = readProfileString(ini, "Main", "COM", "");
    EXPECT_TRUE(last == "COM5" || last == "COM6") << last;
    EXPECT_EQ(dir.files(), std::vector<std::wstring>{L"UserLumo.INI"});  // no temporary file left
}

TEST(FilePathsWin, FileDateIsReadFromACyrillicFolder) {
    CyrillicFolder dir;
    const std::wstring file = dir.wide + L"\\отчёт.xlsx";
    HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    // Last written at 14:05:09 on 6 December 2026, local time.
    SYSTEMTIME local{2026, 12, 0, 6, 14, 5, 9, 0}, utc;
    FILETIME ft;
    ASSERT_TRUE(TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc));
    ASSERT_TRUE(SystemTimeToFileTime(&utc, &ft));
    ASSERT_TRUE(SetFileTime(h, nullptr, nullptr, &ft));
    CloseHandle(h);

    SystemClock clock;
    EXPECT_EQ(clock.fileModified(utf8(file)), (LocalDateTime{2026, 12, 6, 14, 5, 9}));
    EXPECT_EQ(clock.fileModified(dir.path + "\\нет такого.xlsx"), std::nullopt);
}
