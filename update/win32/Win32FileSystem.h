#pragma once

#include "../UpdateProcedure.h"

#include <string_view>

// The procedure's file operations on the Windows file system.
class Win32FileSystem final : public FileSystem {
public:
    [[nodiscard]] bool Probe(std::wstring_view pattern, FileName& firstFile) override;
    [[nodiscard]] bool Copy(std::wstring_view source, std::wstring_view destination) override;
};

// A copy stages the new bytes under this name beside the destination and
// renames it into place only when they are complete and on disk.
inline constexpr std::wstring_view kStagingSuffix = L".new";
