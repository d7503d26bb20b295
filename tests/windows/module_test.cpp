// ZUDOR.dll as a Windows host meets it: found by name and by ordinal, its load-time code,
// and its version resource.
#include <gtest/gtest.h>

#include <windows.h>
#include <winternl.h>

#include <string>
#include <vector>

#include "reader_fixture.h"

using namespace testhost;

namespace {

HMODULE module() { return static_cast<HMODULE>(moduleHandle()); }

void *byOrdinal(WORD ordinal)
{
    return reinterpret_cast<void *>(GetProcAddress(module(), MAKEINTRESOURCEA(ordinal)));
}

// Each export has its fixed ordinal; frame_tests checks the exports against the table.
TEST(WindowsModule, OrdinalsMatchNames)
{
    const char *const names[] = {"tifGetReaderInterface", "tifAllocateContext", "tifFillBuffer",
                                 "tifFreeContext", "tifGetSummaryInfo", "tifInitDoc"};
    for (WORD ordinal = 1; ordinal <= 6; ++ordinal) {
        void *named = moduleSymbol(names[ordinal - 1]);
        ASSERT_NE(named, nullptr) << names[ordinal - 1];
        EXPECT_EQ(byOrdinal(ordinal), named) << names[ordinal - 1];
    }
    EXPECT_EQ(byOrdinal(7), nullptr);
}

// DllMain's one effect: the loader stops sending thread notifications to this module. The
// loader keeps that as a flag in the module's entry of its in-memory list.
TEST(WindowsModule, LoadTurnsOffThreadNotifications)
{
    constexpr size_t kLinksOffset = 0x10, kBaseOffset = 0x30, kFlagsOffset = 0x68;
    constexpr ULONG kNoThreadCalls = 0x00040000;
    PROCESS_BASIC_INFORMATION process{};
    ASSERT_EQ(NtQueryInformationProcess(GetCurrentProcess(), ProcessBasicInformation, &process,
                                        sizeof process, nullptr),
              0);
    const LIST_ENTRY *head = &process.PebBaseAddress->Ldr->InMemoryOrderModuleList;
    int found = 0;
    for (const LIST_ENTRY *link = head->Flink; link != head; link = link->Flink) {
        const auto *entry = reinterpret_cast<const uint8_t *>(link) - kLinksOffset;
        void *base = *reinterpret_cast<void *const *>(entry + kBaseOffset);
        if (base != moduleHandle())
            continue;
        ++found;
        EXPECT_NE(*reinterpret_cast<const ULONG *>(entry + kFlagsOffset) & kNoThreadCalls, 0u);
    }
    EXPECT_EQ(found, 1);
}

std::string versionString(const std::vector<char> &info, const char *name)
{
    char *value = nullptr;
    UINT length = 0;
    const std::string path = std::string("\\StringFileInfo\\040904B0\\") + name;
    if (!VerQueryValueA(info.data(), path.c_str(), reinterpret_cast<void **>(&value), &length))
        return "<missing>";
    return std::string(value, length > 0 ? length - 1 : 0);
}

TEST(WindowsModule, VersionResourceNamesTheReader)
{
    char path[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(module(), path, MAX_PATH), 0u);
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    ASSERT_GT(size, 0u) << "no version resource";
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoA(path, 0, size, info.data()));

    EXPECT_EQ(versionString(info, "InternalName"), "ZUDOR");
    EXPECT_EQ(versionString(info, "OriginalFilename"), "ZUDOR.dll");
    EXPECT_EQ(versionString(info, "FileDescription"), "TIFF metadata reader");
    EXPECT_EQ(versionString(info, "LegalCopyright"),
              "Copyright (c) 2026 The ZUDOR authors. MIT licence.");
    EXPECT_EQ(versionString(info, "FileVersion"), ZUDOR_VERSION);
    EXPECT_EQ(versionString(info, "ProductVersion"), ZUDOR_VERSION);

    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void **>(&fixed), &length));
    const DWORD high = MAKELONG(ZUDOR_VERSION_MINOR, ZUDOR_VERSION_MAJOR);
    const DWORD low = MAKELONG(0, ZUDOR_VERSION_PATCH);
    EXPECT_EQ(fixed->dwFileVersionMS, high);
    EXPECT_EQ(fixed->dwFileVersionLS, low);
    EXPECT_EQ(fixed->dwProductVersionMS, high);
    EXPECT_EQ(fixed->dwProductVersionLS, low);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));
}

} // namespace
