#include "Resource.h"

#include <windows.h>
#include <winver.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// Numeric resource types, so the tests do not depend on whether UNICODE is defined.
constexpr WORD kTypeIcon = 3;
constexpr WORD kTypeRcData = 10;
constexpr WORD kTypeGroupIcon = 14;
constexpr WORD kTypeManifest = 24;
constexpr WORD kIconGroupId = IDI_ZIMLEX;
constexpr WORD kManifestId = 1;

constexpr int kIconSide = 32;
constexpr int kIconBits = 4;
constexpr int kIconColours = 16;
constexpr std::array<std::pair<int, int>, 4> kIconCorners = {{{0, 0}, {31, 0}, {0, 31}, {31, 31}}};

// Version 1.0.0.0 packs as major.minor in the high word and build.revision in the low word.
constexpr DWORD kVersionOneHigh = 0x00010000;
constexpr DWORD kVersionOneLow = 0;

constexpr int kPictureWidth = 87;
constexpr int kPictureHeight = 42;
constexpr std::size_t kPictureMinBytes = 900;
constexpr std::size_t kPictureMaxBytes = 1600;

constexpr std::uint8_t kSof0 = 0xC0;
constexpr std::uint8_t kSof2 = 0xC2;
constexpr std::uint8_t kSos = 0xDA;
constexpr std::uint8_t kApp0 = 0xE0;
constexpr std::uint8_t kApp1 = 0xE1;
constexpr std::uint8_t kApp2 = 0xE2;
constexpr std::uint8_t kComment = 0xFE;

const wchar_t* const kStringBlock = L"\\StringFileInfo\\040904B0\\";

// Group icon records are packed to two bytes in the file.
#pragma pack(push, 2)
struct IconGroupHeader {
    WORD reserved;
    WORD type;
    WORD count;
};

struct IconGroupEntry {
    BYTE width;
    BYTE height;
    BYTE colourCount;
    BYTE reserved;
    WORD planes;
    WORD bitCount;
    DWORD bytesInRes;
    WORD id;
};
#pragma pack(pop)

static_assert(sizeof(IconGroupHeader) == 6);
static_assert(sizeof(IconGroupEntry) == 14);

struct FrameHeader {
    int precision = 0;
    int height = 0;
    int width = 0;
    int components = 0;
};

struct JpegLayout {
    std::vector<std::uint8_t> markers;
    std::optional<FrameHeader> baselineFrame;
};

// What the tests read of a PE32 or PE32+ image's headers, which differ in the
// optional header's layout only.
struct PeHeaders {
    IMAGE_FILE_HEADER file{};
    WORD magic = 0;
    WORD subsystem = 0;
    WORD dllCharacteristics = 0;
    WORD majorSubsystemVersion = 0;
    WORD minorSubsystemVersion = 0;
    WORD majorOperatingSystemVersion = 0;
    WORD minorOperatingSystemVersion = 0;
    IMAGE_DATA_DIRECTORY imports{};
    std::vector<IMAGE_SECTION_HEADER> sections;
};

class LoadedModule {
public:
    explicit LoadedModule(HMODULE handle) : handle_(handle) {}
    ~LoadedModule() {
        if (handle_ != nullptr) {
            FreeLibrary(handle_);
        }
    }
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    [[nodiscard]] HMODULE Get() const { return handle_; }

private:
    HMODULE handle_;
};

// ZIMLEX_PROGRAM names the program to read as "<target>:<path>", the target
// being the build's processor, x86 or x86_64.
std::wstring ProgramSetting() {
    std::array<wchar_t, MAX_PATH * 2> buffer{};
    const DWORD length = GetEnvironmentVariableW(L"ZIMLEX_PROGRAM", buffer.data(),
                                                 static_cast<DWORD>(buffer.size()));
    if (length == 0 || length >= buffer.size()) {
        return {};
    }
    return {buffer.data(), length};
}

std::wstring ExecutablePath() {
    const std::wstring setting = ProgramSetting();
    const std::size_t colon = setting.find(L':');
    return colon == std::wstring::npos ? std::wstring{} : setting.substr(colon + 1);
}

bool Is64BitProgram() {
    return ProgramSetting().rfind(L"x86_64:", 0) == 0;
}

template <typename T> std::optional<T> ReadAt(const Bytes& bytes, std::size_t offset) {
    if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) {
        return std::nullopt;
    }
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

int ReadBigEndian16(const Bytes& bytes, std::size_t offset) {
    return (bytes[offset] << 8) | bytes[offset + 1];
}

std::optional<Bytes> ResourceBytes(HMODULE module, WORD type, WORD id) {
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(type));
    if (found == nullptr) {
        return std::nullopt;
    }
    HGLOBAL loaded = LoadResource(module, found);
    const DWORD size = SizeofResource(module, found);
    const auto* data = static_cast<const std::uint8_t*>(LockResource(loaded));
    if (data == nullptr) {
        return std::nullopt;
    }
    return Bytes(data, data + size);
}

std::optional<Bytes> FileBytes(const std::wstring& path) {
    std::ifstream file(std::filesystem::path(path), std::ios::binary);
    if (!file) {
        return std::nullopt;
    }
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::optional<std::wstring> VersionString(Bytes& block, const std::wstring& name) {
    const std::wstring query = kStringBlock + name;
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), query.c_str(), &value, &length) || value == nullptr) {
        return std::nullopt;
    }
    const auto* text = static_cast<const wchar_t*>(value);
    return std::wstring(text, wcsnlen(text, length));
}

// Walks the segments up to the start of scan; the compressed data after it is not read.
std::optional<JpegLayout> ReadJpegLayout(const Bytes& jpeg) {
    JpegLayout layout;
    std::size_t position = 2;
    while (position + 4 <= jpeg.size()) {
        if (jpeg[position] != 0xFF) {
            return std::nullopt;
        }
        const std::uint8_t marker = jpeg[position + 1];
        if (marker == 0xFF) {
            ++position;
            continue;
        }
        layout.markers.push_back(marker);
        if (marker == kSos) {
            return layout;
        }
        const int length = ReadBigEndian16(jpeg, position + 2);
        if (length < 2 || position + 2 + static_cast<std::size_t>(length) > jpeg.size()) {
            return std::nullopt;
        }
        if (marker == kSof0 && length >= 8) {
            const std::size_t frame = position + 4;
            layout.baselineFrame = FrameHeader{jpeg[frame], ReadBigEndian16(jpeg, frame + 1),
                                               ReadBigEndian16(jpeg, frame + 3), jpeg[frame + 5]};
        }
        position += 2 + static_cast<std::size_t>(length);
    }
    return std::nullopt;
}

bool HasMarker(const JpegLayout& layout, std::uint8_t marker) {
    return std::find(layout.markers.begin(), layout.markers.end(), marker) != layout.markers.end();
}

std::optional<PeHeaders> ReadPeHeaders(const Bytes& file) {
    const auto dos = ReadAt<IMAGE_DOS_HEADER>(file, 0);
    if (!dos || dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew < 0) {
        return std::nullopt;
    }
    const auto ntOffset = static_cast<std::size_t>(dos->e_lfanew);
    const auto nt = ReadAt<IMAGE_NT_HEADERS32>(file, ntOffset);
    if (!nt || nt->Signature != IMAGE_NT_SIGNATURE) {
        return std::nullopt;
    }
    PeHeaders headers;
    headers.file = nt->FileHeader;
    headers.magic = nt->OptionalHeader.Magic;
    const std::size_t optionalOffset = ntOffset + offsetof(IMAGE_NT_HEADERS32, OptionalHeader);
    const auto take = [&headers](const auto& optional) {
        headers.subsystem = optional.Subsystem;
        headers.dllCharacteristics = optional.DllCharacteristics;
        headers.majorSubsystemVersion = optional.MajorSubsystemVersion;
        headers.minorSubsystemVersion = optional.MinorSubsystemVersion;
        headers.majorOperatingSystemVersion = optional.MajorOperatingSystemVersion;
        headers.minorOperatingSystemVersion = optional.MinorOperatingSystemVersion;
        headers.imports = optional.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    };
    if (headers.magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        const auto optional = ReadAt<IMAGE_OPTIONAL_HEADER64>(file, optionalOffset);
        if (!optional) {
            return std::nullopt;
        }
        take(*optional);
    } else {
        take(nt->OptionalHeader);
    }
    const std::size_t firstSection = optionalOffset + headers.file.SizeOfOptionalHeader;
    for (WORD i = 0; i < headers.file.NumberOfSections; ++i) {
        const auto section =
            ReadAt<IMAGE_SECTION_HEADER>(file, firstSection + i * sizeof(IMAGE_SECTION_HEADER));
        if (!section) {
            return std::nullopt;
        }
        headers.sections.push_back(*section);
    }
    return headers;
}

std::optional<std::size_t> RvaToOffset(const PeHeaders& headers, DWORD rva) {
    for (const IMAGE_SECTION_HEADER& section : headers.sections) {
        const DWORD extent = std::max(section.Misc.VirtualSize, section.SizeOfRawData);
        if (rva >= section.VirtualAddress && rva - section.VirtualAddress < extent) {
            return section.PointerToRawData + (rva - section.VirtualAddress);
        }
    }
    return std::nullopt;
}

std::optional<std::string> ReadCString(const Bytes& file, std::size_t offset) {
    if (offset >= file.size()) {
        return std::nullopt;
    }
    const auto begin = file.begin() + static_cast<std::ptrdiff_t>(offset);
    const auto end = std::find(begin, file.end(), 0);
    if (end == file.end()) {
        return std::nullopt;
    }
    return std::string(begin, end);
}

std::optional<std::vector<std::string>> ImportedDllNames(const Bytes& file,
                                                         const PeHeaders& headers) {
    const IMAGE_DATA_DIRECTORY& directory = headers.imports;
    const auto start = RvaToOffset(headers, directory.VirtualAddress);
    if (!start) {
        return std::nullopt;
    }
    std::vector<std::string> names;
    for (std::size_t offset = *start;; offset += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        const auto descriptor = ReadAt<IMAGE_IMPORT_DESCRIPTOR>(file, offset);
        if (!descriptor) {
            return std::nullopt;
        }
        if (descriptor->Name == 0) {
            return names;
        }
        const auto nameOffset = RvaToOffset(headers, descriptor->Name);
        const auto name = nameOffset ? ReadCString(file, *nameOffset) : std::nullopt;
        if (!name) {
            return std::nullopt;
        }
        names.push_back(*name);
    }
}

std::string Lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

class ExecutableResourcesTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::wstring path = ExecutablePath();
        ASSERT_FALSE(path.empty()) << "ZIMLEX_PROGRAM must name the built executable";
        module_.emplace(LoadLibraryExW(path.c_str(), nullptr,
                                       LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
        ASSERT_NE(module_->Get(), nullptr) << "LoadLibraryExW failed: " << GetLastError();
    }

    [[nodiscard]] HMODULE Module() const { return module_->Get(); }

private:
    std::optional<LoadedModule> module_;
};

class VersionInfoTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::wstring path = ExecutablePath();
        ASSERT_FALSE(path.empty()) << "ZIMLEX_PROGRAM must name the built executable";
        DWORD ignored = 0;
        const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
        ASSERT_NE(size, 0u) << "no version block, error " << GetLastError();
        block_.resize(size);
        ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block_.data()));
    }

    Bytes block_;
};

class PeFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::wstring path = ExecutablePath();
        ASSERT_FALSE(path.empty()) << "ZIMLEX_PROGRAM must name the built executable";
        const auto bytes = FileBytes(path);
        ASSERT_TRUE(bytes.has_value()) << "cannot read the executable";
        file_ = *bytes;
        const auto headers = ReadPeHeaders(file_);
        ASSERT_TRUE(headers.has_value()) << "not a PE image";
        headers_ = *headers;
    }

    Bytes file_;
    PeHeaders headers_;
};

TEST_F(VersionInfoTest, StringsNameTheProductAndItsVersion) {
    EXPECT_EQ(VersionString(block_, L"ProductName").value_or(L"<missing>"), L"Update");
    EXPECT_EQ(VersionString(block_, L"FileDescription").value_or(L"<missing>"), L"Zimlex Update");
    EXPECT_EQ(VersionString(block_, L"FileVersion").value_or(L"<missing>"), L"1.00");
    EXPECT_EQ(VersionString(block_, L"ProductVersion").value_or(L"<missing>"), L"1.00");
    EXPECT_EQ(VersionString(block_, L"InternalName").value_or(L"<missing>"), L"ZimlexUpdate");
    EXPECT_EQ(VersionString(block_, L"OriginalFilename").value_or(L"<missing>"),
              L"ZimlexUpdate.exe");
}

TEST_F(VersionInfoTest, FixedInfoSaysVersionOneOfAWindowsApplication) {
    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block_.data(), L"\\", &value, &length));
    ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
    VS_FIXEDFILEINFO info;
    std::memcpy(&info, value, sizeof(info));

    EXPECT_EQ(info.dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(info.dwFileVersionMS, kVersionOneHigh);
    EXPECT_EQ(info.dwFileVersionLS, kVersionOneLow);
    EXPECT_EQ(info.dwProductVersionMS, kVersionOneHigh);
    EXPECT_EQ(info.dwProductVersionLS, kVersionOneLow);
    EXPECT_EQ(info.dwFileType, static_cast<DWORD>(VFT_APP));
    EXPECT_EQ(info.dwFileOS & VOS__WINDOWS32, static_cast<DWORD>(VOS__WINDOWS32));
}

TEST_F(VersionInfoTest, TranslationIsUsEnglishUnicode) {
    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block_.data(), L"\\VarFileInfo\\Translation", &value, &length));
    ASSERT_EQ(length, 2 * sizeof(WORD));
    std::array<WORD, 2> translation{};
    std::memcpy(translation.data(), value, sizeof(translation));

    EXPECT_EQ(translation[0], 0x0409);
    EXPECT_EQ(translation[1], 1200);
}

TEST_F(ExecutableResourcesTest, IconGroupHoldsOneSixteenColourImage) {
    const auto group = ResourceBytes(Module(), kTypeGroupIcon, kIconGroupId);
    ASSERT_TRUE(group.has_value()) << "icon group missing";
    const auto header = ReadAt<IconGroupHeader>(*group, 0);
    ASSERT_TRUE(header.has_value());
    EXPECT_EQ(header->type, 1);
    ASSERT_EQ(header->count, 1);
    const auto entry = ReadAt<IconGroupEntry>(*group, sizeof(IconGroupHeader));
    ASSERT_TRUE(entry.has_value());

    EXPECT_EQ(entry->width, kIconSide);
    EXPECT_EQ(entry->height, kIconSide);
    EXPECT_EQ(entry->colourCount, kIconColours);
    EXPECT_EQ(entry->planes, 1);
    EXPECT_EQ(entry->bitCount, kIconBits);

    const auto image = ResourceBytes(Module(), kTypeIcon, entry->id);
    ASSERT_TRUE(image.has_value()) << "icon image " << entry->id << " missing";
    EXPECT_EQ(image->size(), entry->bytesInRes);
}

// Reads the icon image and answers questions about its pixels, top row first.
class IconImage {
public:
    explicit IconImage(Bytes dib) : dib_(std::move(dib)) {}

    [[nodiscard]] std::optional<BITMAPINFOHEADER> Header() const {
        return ReadAt<BITMAPINFOHEADER>(dib_, 0);
    }

    [[nodiscard]] std::size_t Size() const { return dib_.size(); }

    [[nodiscard]] std::size_t ExpectedSize() const {
        return sizeof(BITMAPINFOHEADER) + kPaletteBytes + kColourBytes + kMaskBytes;
    }

    [[nodiscard]] bool Transparent(int x, int y) const {
        const std::size_t row = kMaskOffset + (kIconSide - 1 - y) * kMaskStride;
        return (dib_[row + x / 8] >> (7 - x % 8)) & 1;
    }

    [[nodiscard]] RGBQUAD Colour(int x, int y) const {
        const std::size_t row = kColourOffset + (kIconSide - 1 - y) * kColourStride;
        const std::uint8_t pair = dib_[row + x / 2];
        const int index = (x % 2 == 0) ? pair >> 4 : pair & 0x0F;
        RGBQUAD colour;
        std::memcpy(&colour, dib_.data() + sizeof(BITMAPINFOHEADER) + index * sizeof(RGBQUAD),
                    sizeof(colour));
        return colour;
    }

private:
    static constexpr std::size_t kPaletteBytes = kIconColours * sizeof(RGBQUAD);
    static constexpr std::size_t kColourStride = kIconSide * kIconBits / 8;
    static constexpr std::size_t kColourBytes = kColourStride * kIconSide;
    static constexpr std::size_t kMaskStride = 4;
    static constexpr std::size_t kMaskBytes = kMaskStride * kIconSide;
    static constexpr std::size_t kColourOffset = sizeof(BITMAPINFOHEADER) + kPaletteBytes;
    static constexpr std::size_t kMaskOffset = kColourOffset + kColourBytes;

    Bytes dib_;
};

std::optional<IconImage> LoadIconImage(HMODULE module) {
    const auto group = ResourceBytes(module, kTypeGroupIcon, kIconGroupId);
    if (!group) {
        return std::nullopt;
    }
    const auto entry = ReadAt<IconGroupEntry>(*group, sizeof(IconGroupHeader));
    if (!entry) {
        return std::nullopt;
    }
    auto dib = ResourceBytes(module, kTypeIcon, entry->id);
    if (!dib) {
        return std::nullopt;
    }
    return IconImage(std::move(*dib));
}

TEST_F(ExecutableResourcesTest, IconImageIsAFourBitDibWithMask) {
    const auto icon = LoadIconImage(Module());
    ASSERT_TRUE(icon.has_value());
    const auto header = icon->Header();
    ASSERT_TRUE(header.has_value());

    EXPECT_EQ(header->biSize, sizeof(BITMAPINFOHEADER));
    EXPECT_EQ(header->biWidth, kIconSide);
    EXPECT_EQ(header->biHeight, kIconSide * 2); // colour rows and mask rows together
    EXPECT_EQ(header->biPlanes, 1);
    EXPECT_EQ(header->biBitCount, kIconBits);
    EXPECT_EQ(header->biCompression, static_cast<DWORD>(BI_RGB));
}

TEST_F(ExecutableResourcesTest, IconShowsColouredCubeOnClearBackground) {
    const auto icon = LoadIconImage(Module());
    ASSERT_TRUE(icon.has_value());
    ASSERT_EQ(icon->Size(), icon->ExpectedSize());

    for (const auto& [x, y] : kIconCorners) {
        EXPECT_TRUE(icon->Transparent(x, y)) << "corner " << x << "," << y;
    }
    const RGBQUAD top = icon->Colour(16, 8);
    const RGBQUAD left = icon->Colour(8, 18);
    const RGBQUAD right = icon->Colour(24, 18);
    EXPECT_FALSE(icon->Transparent(16, 8));
    EXPECT_FALSE(icon->Transparent(8, 18));
    EXPECT_FALSE(icon->Transparent(24, 18));
    EXPECT_TRUE(top.rgbGreen > top.rgbRed && top.rgbGreen > top.rgbBlue) << "top face not green";
    EXPECT_TRUE(left.rgbRed > left.rgbGreen && left.rgbRed > left.rgbBlue) << "left face not red";
    EXPECT_TRUE(right.rgbBlue > right.rgbRed && right.rgbBlue > right.rgbGreen)
        << "right face not blue";
}

TEST_F(ExecutableResourcesTest, OkPictureIsJfifOneOhOne) {
    const auto jpeg = ResourceBytes(Module(), kTypeRcData, IDR_OK_PICTURE);
    ASSERT_TRUE(jpeg.has_value()) << "Ok picture missing";
    ASSERT_GE(jpeg->size(), 20u);
    const Bytes& bytes = *jpeg;

    EXPECT_EQ(bytes[0], 0xFF);
    EXPECT_EQ(bytes[1], 0xD8);
    EXPECT_EQ(bytes[2], 0xFF);
    EXPECT_EQ(bytes[3], kApp0);
    EXPECT_EQ(std::string(bytes.begin() + 6, bytes.begin() + 11),
              (std::string{'J', 'F', 'I', 'F', '\0'}));
    EXPECT_EQ(bytes[11], 1) << "JFIF major version";
    EXPECT_EQ(bytes[12], 1) << "JFIF minor version";
}

TEST_F(ExecutableResourcesTest, OkPictureIsBaselineColourAtButtonSize) {
    const auto jpeg = ResourceBytes(Module(), kTypeRcData, IDR_OK_PICTURE);
    ASSERT_TRUE(jpeg.has_value()) << "Ok picture missing";
    const auto layout = ReadJpegLayout(*jpeg);
    ASSERT_TRUE(layout.has_value()) << "JPEG segments do not parse";
    EXPECT_FALSE(HasMarker(*layout, kSof2)) << "progressive frame present";
    ASSERT_TRUE(layout->baselineFrame.has_value()) << "no baseline SOF0 frame";

    EXPECT_EQ(layout->baselineFrame->precision, 8);
    EXPECT_EQ(layout->baselineFrame->height, kPictureHeight);
    EXPECT_EQ(layout->baselineFrame->width, kPictureWidth);
    EXPECT_EQ(layout->baselineFrame->components, 3);
}

TEST_F(ExecutableResourcesTest, OkPictureCarriesNoMetadata) {
    const auto jpeg = ResourceBytes(Module(), kTypeRcData, IDR_OK_PICTURE);
    ASSERT_TRUE(jpeg.has_value()) << "Ok picture missing";
    const auto layout = ReadJpegLayout(*jpeg);
    ASSERT_TRUE(layout.has_value()) << "JPEG segments do not parse";

    EXPECT_FALSE(HasMarker(*layout, kApp1)) << "EXIF or XMP segment present";
    EXPECT_FALSE(HasMarker(*layout, kApp2)) << "ICC profile present";
    EXPECT_FALSE(HasMarker(*layout, kComment)) << "comment present";
    EXPECT_EQ(std::count(layout->markers.begin(), layout->markers.end(), kApp0), 1)
        << "thumbnail or second JFIF segment present";
}

TEST_F(ExecutableResourcesTest, OkPictureIsAboutOneKilobyteAndComplete) {
    const auto jpeg = ResourceBytes(Module(), kTypeRcData, IDR_OK_PICTURE);
    ASSERT_TRUE(jpeg.has_value()) << "Ok picture missing";

    EXPECT_GE(jpeg->size(), kPictureMinBytes);
    EXPECT_LE(jpeg->size(), kPictureMaxBytes);
    ASSERT_GE(jpeg->size(), 2u);
    EXPECT_EQ((*jpeg)[jpeg->size() - 2], 0xFF);
    EXPECT_EQ((*jpeg)[jpeg->size() - 1], 0xD9) << "no end-of-image marker";
}

TEST_F(ExecutableResourcesTest, ManifestAsksForAdministratorAndDpiAwareness) {
    const auto manifest = ResourceBytes(Module(), kTypeManifest, kManifestId);
    ASSERT_TRUE(manifest.has_value()) << "manifest missing";
    const std::string text(manifest->begin(), manifest->end());

    EXPECT_NE(text.find("level=\"requireAdministrator\""), std::string::npos)
        << "does not ask for elevation";
    EXPECT_NE(text.find(">true</dpiAware>"), std::string::npos) << "not DPI aware";
    EXPECT_EQ(text.find("Microsoft.Windows.Common-Controls"), std::string::npos)
        << "the program uses no common controls";
}

TEST_F(PeFileTest, HeadersDescribeAGuiProgramForItsTargetWithAslrAndDep) {
    if (Is64BitProgram()) {
        EXPECT_EQ(headers_.file.Machine, IMAGE_FILE_MACHINE_AMD64);
        EXPECT_EQ(headers_.magic, IMAGE_NT_OPTIONAL_HDR64_MAGIC);
    } else {
        EXPECT_EQ(headers_.file.Machine, IMAGE_FILE_MACHINE_I386);
        EXPECT_EQ(headers_.magic, IMAGE_NT_OPTIONAL_HDR32_MAGIC);
    }
    EXPECT_EQ(headers_.subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
    EXPECT_TRUE(headers_.dllCharacteristics & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE);
    EXPECT_TRUE(headers_.dllCharacteristics & IMAGE_DLLCHARACTERISTICS_NX_COMPAT);
}

// Windows treats a program for subsystem 4.0 as a legacy one, and one that is
// not Terminal-Server aware gets the compatibility shims of old programs.
TEST_F(PeFileTest, HeadersDescribeAProgramForWindows7AndLater) {
    EXPECT_EQ(headers_.majorSubsystemVersion, 6);
    EXPECT_EQ(headers_.minorSubsystemVersion, 1);
    EXPECT_EQ(headers_.majorOperatingSystemVersion, 6);
    EXPECT_EQ(headers_.minorOperatingSystemVersion, 1);
    EXPECT_TRUE(headers_.dllCharacteristics & IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE);
}

TEST_F(PeFileTest, ImportsOnlyKnownSystemDlls) {
    // All KnownDLLs, which Windows never looks for beside the program; anything
    // else, such as the signature checker, is loaded from System32 at run time.
    const std::set<std::string> expected = {"advapi32.dll", "gdi32.dll", "kernel32.dll",
                                            "msvcrt.dll",   "ole32.dll", "shlwapi.dll",
                                            "user32.dll"};
    const auto imports = ImportedDllNames(file_, headers_);
    ASSERT_TRUE(imports.has_value()) << "import directory does not parse";

    std::string list;
    std::set<std::string> imported;
    for (const std::string& name : *imports) {
        list += (list.empty() ? "" : " ") + name;
        imported.insert(Lowercase(name));
    }
    RecordProperty("imports", list);
    std::cout << "imports: " << list << '\n';
    EXPECT_EQ(imported, expected) << list;
}

} // namespace
