#include "text/format_stream.h"

#include <algorithm>

namespace NRV {
namespace {

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

void AddLiteral(std::vector<FormatPiece>& pieces, std::u16string& literal) {
  if (literal.empty()) return;
  pieces.push_back({std::move(literal), 0});
  literal.clear();
}

}  // namespace

std::vector<FormatPiece> ParseFormat(std::u16string_view format) {
  std::vector<FormatPiece> pieces;
  std::u16string literal;
  int placeholders = 0;
  size_t i = 0;
  while (i < format.size()) {
    if (format[i] != u'%') {
      literal += format[i++];
      continue;
    }
    if (i + 1 < format.size() && format[i + 1] == u'%') {
      literal += u'%';
      i += 2;
      continue;
    }
    size_t end = i + 1;
    int number = 0;
    while (end < format.size() && IsDigit(format[end])) {
      number = std::min(number * 10 + (format[end] - u'0'), 1000);  // large is out of range anyway
      ++end;
    }
    if (end == i + 1 || number < 1 || number > kMaxPlaceholders ||
        placeholders == kMaxPlaceholders) {
      literal += u'%';  // not a placeholder: the rest is ordinary text
      ++i;
      continue;
    }
    AddLiteral(pieces, literal);
    pieces.push_back({std::u16string(), number});
    ++placeholders;
    i = end;
    if (i < format.size() && format[i] == u'\\') ++i;
  }
  AddLiteral(pieces, literal);
  // Without placeholders the format is text as it stands, doubled percent
  // signs included.
  if (placeholders == 0) {
    pieces.clear();
    if (!format.empty()) pieces.push_back({std::u16string(format), 0});
  }
  return pieces;
}

OFormatStream::OFormatStream(const String& format)
    : std::basic_ostream<wchar_t>(nullptr), pieces_(ParseFormat(format.View())) {
  init(&current_);
  for (const FormatPiece& piece : pieces_) {
    argumentCount_ = std::max(argumentCount_, piece.placeholder);
  }
}

OFormatStream& OFormatStream::EndArgument() {
  flush();
  // Writes after the last argument has ended belong to no placeholder.
  String argument = current_.Result();
  if (static_cast<int>(arguments_.size()) < argumentCount_) {
    arguments_.push_back(std::move(argument));
  }
  return *this;
}

String OFormatStream::Assemble() const {
  String out;
  for (const FormatPiece& piece : pieces_) {
    if (piece.placeholder == 0) {
      out.Append(piece.literal);
    } else if (static_cast<size_t>(piece.placeholder) <= arguments_.size()) {
      out.Append(arguments_[piece.placeholder - 1]);
    }
  }
  return out;
}

std::basic_ostream<wchar_t>& endarg(std::basic_ostream<wchar_t>& stream) {
  if (auto* format = dynamic_cast<OFormatStream*>(&stream)) format->EndArgument();
  return stream;
}

}  // namespace NRV
