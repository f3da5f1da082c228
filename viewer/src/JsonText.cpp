#include "JsonText.hpp"

namespace korv::vexatools::viewer {

std::string JsonQuoted(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      out += fmt::format("\\u{:04x}", static_cast<unsigned>(c));
    } else {
      out += c;
    }
  }
  return out + "\"";
}

JsonObject& JsonObject::Add(std::string_view key, const std::vector<std::string>& values) {
  std::string list = "[";
  for (const auto& value : values) list += (list.size() > 1 ? "," : "") + JsonQuoted(value);
  return Raw(key, list + "]");
}

JsonObject& JsonObject::Raw(std::string_view key, std::string_view json) {
  if (text_.size() > 1) text_ += ',';
  text_ += JsonQuoted(key);
  text_ += ':';
  text_ += json;
  return *this;
}

}  // namespace korv::vexatools::viewer
