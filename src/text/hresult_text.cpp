#include "text/hresult_text.h"

#include <array>

#include "platform/system_error.h"
#include "text/host_text.h"

namespace {

constexpr uint32_t kStorageError = 0x80030105u;
// The maker reports that storage error under its own code.
constexpr uint32_t kMakerStorageError = 0xA0048205u;
constexpr uint32_t kFacilityItf = 4;
constexpr uint32_t kFacilityWin32 = 7;
constexpr uint32_t kMakerBits = 0x20008000u;  // customer bit and bit 15
constexpr uint32_t kFirstMakerCode = 0x8200;
constexpr uint32_t kMaxSystemTextChars = 510;

// Host text identifiers of the codes 0x...8200 onwards; 0: no text.
constexpr std::array<uint32_t, 30> kMakerTexts = {
    57345, 57346, 57347, 57348, 57349, 57349, 57352, 57350, 57351, 57354,  // 8200-8209
    0,     0,     0,     0,     0,     0,     0,     0,     57358, 0,      // 820A-8213
    0,     0,     0,     0,     0,     0,     57359, 57360, 0,     0};     // 8214-821D

uint32_t Facility(uint32_t code) { return (code >> 16) & 0x1FFF; }

}  // namespace

std::optional<uint32_t> MakerCodeTextId(uint32_t code) {
  const uint32_t index = (code & 0xFFFF) - kFirstMakerCode;  // wraps below 0x8200
  if (index >= kMakerTexts.size() || kMakerTexts[index] == 0) return std::nullopt;
  return kMakerTexts[index];
}

NRV::String TidySystemText(NRV::String text) {
  if (text.Length() <= 1) return text;
  if (text.View().ends_with(u"\r\n")) text.Erase(text.Length() - 2, text.Length());
  if (!text.IsEmpty() && text.View().back() != u'.') text.Append(u'.');
  return text;
}

namespace {

NRV::String TextOf(HResult hr, const StringTableSource* tables) {
  uint32_t code = static_cast<uint32_t>(hr);
  if (code == kStorageError) code = kMakerStorageError;
  if (Facility(code) == kFacilityItf && (code & kMakerBits) == kMakerBits) {
    const auto id = MakerCodeTextId(code);
    if (!id) return NRV::String();
    return tables != nullptr ? LoadHostText(*tables, nullptr, *id, true)
                             : LoadHostText(nullptr, *id, true);
  }
  if (Facility(code) == kFacilityWin32) code &= 0xFFFF;
  return TidySystemText(NRV::String(platform::SystemErrorText(code, kMaxSystemTextChars)));
}

}  // namespace

NRV::String HResultText(HResult code) { return TextOf(code, nullptr); }

NRV::String HResultText(HResult code, const StringTableSource& tables) {
  return TextOf(code, &tables);
}
