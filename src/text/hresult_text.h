#pragma once
// The text of an HRESULT: the host's text for the maker's own codes, the
// system's text for every other code.
#include <cstdint>
#include <optional>

#include "platform/hresult.h"
#include "text/nrv_string.h"

// Host string identifier for one of the maker's codes (facility 4, customer
// bit and bit 15 set), by the code's low 16 bits; nullopt when the code has no
// text.
std::optional<uint32_t> MakerCodeTextId(uint32_t code);

NRV::String HResultText(HResult code);
// The same with the host texts taken from `tables`.
class StringTableSource;
NRV::String HResultText(HResult code, const StringTableSource& tables);

// The system's text made presentable: a trailing line break cut off and a
// full stop added, for texts longer than one character.
NRV::String TidySystemText(NRV::String text);
