#include "base/log_text.h"

namespace LogText {

namespace {

// One character of the text, or one byte where the bytes are no well-formed UTF-8.
struct Unit {
  size_t length = 1;
  uint32_t code = 0;     // the code point, or the byte
  bool escaped = false;  // written as \xNN (below 0x80) or \uNNNN
};

// The code point of the well-formed UTF-8 sequence of 2 to 4 bytes at text[i] and its
// length; 0 when there is none (a stray or truncated byte, an overlong form, a surrogate).
size_t sequenceAt(std::string_view text, size_t i, uint32_t& code) {
  auto const byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char const lead = byte(i);
  size_t length = 0;
  uint32_t lowest = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1Fu;
    lowest = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0Fu;
    lowest = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07u;
    lowest = 0x10000;
  } else {
    return 0;
  }
  if (text.size() - i < length) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = code << 6 | (byte(i + k) & 0x3Fu);
  }
  if (code < lowest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

// C1 controls move a terminal's cursor or start its escape sequences (U+009B is CSI), and
// U+2028 and U+2029 end a line for many readers: neither may reach a log line as it is.
Unit unitAt(std::string_view text, size_t i) {
  auto const byte = static_cast<unsigned char>(text[i]);
  if (byte < 0x80) return {1, byte, byte < 0x20 || byte == 0x7F};
  uint32_t code = 0;
  size_t const length = sequenceAt(text, i, code);
  if (length == 0) return {1, byte, false};
  return {length, code, code <= 0x9F || code == 0x2028 || code == 0x2029};
}

void appendEscape(std::string& out, uint32_t code) {
  static char const digits[] = "0123456789abcdef";
  out += code < 0x80 ? "\\x" : "\\u";
  for (int shift = code < 0x80 ? 4 : 12; shift >= 0; shift -= 4) out.push_back(digits[(code >> shift) & 15]);
}

}  // namespace

bool hasControl(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    Unit const unit = unitAt(text, i);
    if (unit.escaped) return true;
    i += unit.length;
  }
  return false;
}

std::string oneLine(std::string_view text, size_t kept) {
  bool const cut = text.size() > kept;
  std::string out;
  out.reserve(cut ? kept : text.size());
  size_t i = 0;
  while (i < text.size()) {
    Unit const unit = unitAt(text, i);
    if (cut && i + unit.length > kept) break;
    if (unit.escaped) {
      appendEscape(out, unit.code);
    } else {
      out.append(text, i, unit.length);
    }
    i += unit.length;
  }
  if (cut) out += "[... " + std::to_string(text.size() - i) + " bytes left out]";
  return out;
}

std::string clippedBody(std::vector<uint8_t> const& bytes, size_t kept) {
  return oneLine({reinterpret_cast<char const*>(bytes.data()), bytes.size()}, kept);
}

}  // namespace LogText
