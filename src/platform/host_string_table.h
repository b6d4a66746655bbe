#pragma once
// String-table resources of a module (RT_STRING, normally the host
// executable's): the raw bytes of one block of sixteen entries. Linux
// executables carry no string tables, so there the lookups find nothing.
#include <cstdint>
#include <optional>
#include <span>

namespace platform {

// Bytes of string-table block `block` of `module` (null: the host
// executable). With a language, FindResourceExW in that language; without,
// FindResourceW in the default language. nullopt when there is none. The
// bytes stay valid while the module is loaded.
std::optional<std::span<const uint8_t>> FindStringTableBlock(void* module, uint16_t block,
                                                             std::optional<uint16_t> language);

// The language of the host application's user interface, when the host has
// a framework application object that names one.
std::optional<uint16_t> HostApplicationLanguage();

}  // namespace platform
