#include "core/Text.h"

#include <cstdlib>

namespace sablewick {

double LeadingNumber(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  std::string number;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) number += text[i++];
  bool point = false, digits = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c >= '0' && c <= '9') {
      number += c;
      digits = true;
    } else if (c == '.' && !point) {
      number += c;
      point = true;
    } else {
      break;
    }
  }
  if (!digits) return 0;
  if (i + 1 < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    size_t j = i + 1;
    std::string exponent = "e";
    if (text[j] == '+' || text[j] == '-') exponent += text[j++];
    const size_t start = j;
    while (j < text.size() && j - start < 4 && text[j] >= '0' && text[j] <= '9') exponent += text[j++];
    if (j > start) number += exponent;
  }
  return std::strtod(number.c_str(), nullptr);
}

std::string EscapeForLog(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7f && c != '\\') {
      out += c;
      continue;
    }
    out += '\\';
    switch (c) {
      case '\\':
        out += '\\';
        break;
      case '\n':
        out += 'n';
        break;
      case '\r':
        out += 'r';
        break;
      case '\t':
        out += 't';
        break;
      default:
        out += 'x';
        out += "0123456789abcdef"[byte >> 4];
        out += "0123456789abcdef"[byte & 15];
    }
  }
  return out;
}

}  // namespace sablewick
