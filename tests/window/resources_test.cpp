#include "tests/window/window_fixture.h"

#include "setup/config.h"

#include <set>

namespace murk::test {
namespace {

namespace fs = std::filesystem;
using namespace murk::setup;

fs::path SetupProgram() {
    return ThisProgramFolder().parent_path().parent_path() / L"setup" / L"MurkSetup.exe";
}

std::wstring VersionString(const std::vector<BYTE>& block, const wchar_t* name) {
    wchar_t* value = nullptr;
    UINT length = 0;
    const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    if (!VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &length))
        return {};
    return value;
}

TEST(Resources, VersionInformationNamesTheProductAndItsVersion) {
    const fs::path exe = SetupProgram();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(exe.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(exe.c_str(), 0, size, block.data()));
    const std::wstring number = Widen(kVersion.substr(0, kVersion.find(' ')));
    EXPECT_EQ(VersionString(block, L"ProductName"), L"MURK Recompiled Setup");
    EXPECT_EQ(VersionString(block, L"ProductVersion"), number);
    EXPECT_EQ(VersionString(block, L"FileVersion"), number);

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    const std::wstring dotted = std::to_wstring(HIWORD(fixed->dwProductVersionMS)) + L"." +
                                std::to_wstring(LOWORD(fixed->dwProductVersionMS)) + L"." +
                                std::to_wstring(HIWORD(fixed->dwProductVersionLS));
    EXPECT_EQ(dotted, number);
}

struct ModuleDeleter {
    void operator()(HMODULE module) const noexcept { FreeLibrary(module); }
};

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
struct GroupIconHeader {
    WORD reserved, type, count;
};
#pragma pack(pop)

std::string Resource(HMODULE module, LPCWSTR name, LPCWSTR type) {
    HRSRC found = FindResourceW(module, name, type);
    if (!found) return {};
    const auto* data = static_cast<const char*>(LockResource(LoadResource(module, found)));
    return std::string(data, SizeofResource(module, found));
}

TEST(Resources, IconGroupOneHasSevenSizesAtThirtyTwoBitsAndTheManifestItsSettings) {
    std::unique_ptr<std::remove_pointer_t<HMODULE>, ModuleDeleter> module(
        LoadLibraryExW(SetupProgram().c_str(), nullptr,
                       LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    ASSERT_TRUE(module);
    const std::string group = Resource(module.get(), MAKEINTRESOURCEW(1), RT_GROUP_ICON);
    ASSERT_GE(group.size(), sizeof(GroupIconHeader));
    const auto* header = reinterpret_cast<const GroupIconHeader*>(group.data());
    ASSERT_EQ(header->count, 7);
    ASSERT_EQ(group.size(), sizeof(GroupIconHeader) + 7 * sizeof(GroupIconEntry));
    const auto* entries = reinterpret_cast<const GroupIconEntry*>(header + 1);
    std::set<int> sizes;
    for (int i = 0; i < 7; ++i) {
        sizes.insert(entries[i].width == 0 ? 256 : entries[i].width);
        EXPECT_EQ(entries[i].bitCount, 32) << i;
        EXPECT_EQ(entries[i].width, entries[i].height) << i;
    }
    EXPECT_EQ(sizes, (std::set<int>{16, 24, 32, 48, 64, 128, 256}));

    const std::string manifest =
        Resource(module.get(), MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
    for (const char* needed :
         {"name=\"MurkRecomp.Launcher\" version=\"1.0.0.0\"", "Microsoft.Windows.Common-Controls",
          "version=\"6.0.0.0\"", ">true</dpiAware>", ">PerMonitorV2</dpiAwareness>",
          "level=\"asInvoker\"", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"})
        EXPECT_NE(manifest.find(needed), std::string::npos) << needed;
}

TEST(Resources, TheManifestLoadsCommonControlsSixAndMakesTheProcessPerMonitorAware) {
    // The tests carry the program's manifest, so the window they drive is the real one.
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(GetModuleHandleW(L"comctl32.dll"), path, MAX_PATH);
    EXPECT_NE(std::wstring(path).find(L"common-controls_6595b64144ccf1df_6.0."), std::wstring::npos)
        << path;
    // Per-monitor; Wine doesn't tell version 2 from version 1, Windows 10 1703 and later do.
    EXPECT_EQ(GetAwarenessFromDpiAwarenessContext(GetThreadDpiAwarenessContext()),
              DPI_AWARENESS_PER_MONITOR_AWARE);
}

}  // namespace
}  // namespace murk::test
