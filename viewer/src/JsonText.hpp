// Builds the small JSON objects the viewer sends to its pages.
#pragma once

#include <fmt/format.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korv::vexatools::viewer {

// `text` as a JSON string literal. Control characters, quotes and
// backslashes are escaped; the text must be UTF-8.
std::string JsonQuoted(std::string_view text);

class JsonObject {
 public:
  JsonObject& Add(std::string_view key, std::string_view value) { return Raw(key, JsonQuoted(value)); }
  JsonObject& Add(std::string_view key, const char* value) { return Add(key, std::string_view(value)); }
  JsonObject& Add(std::string_view key, std::uint64_t value) { return Raw(key, std::to_string(value)); }
  JsonObject& Add(std::string_view key, int value) { return Raw(key, std::to_string(value)); }
  JsonObject& Add(std::string_view key, bool value) { return Raw(key, value ? "true" : "false"); }
  // Non-finite numbers have no JSON form and become null.
  JsonObject& Add(std::string_view key, double value) {
    return Raw(key, std::isfinite(value) ? fmt::format("{:.6g}", value) : "null");
  }
  JsonObject& Add(std::string_view key, const std::vector<std::string>& values);
  // `json` is already JSON text.
  JsonObject& Raw(std::string_view key, std::string_view json);

  std::string Text() const { return text_ + "}"; }

 private:
  std::string text_ = "{";
};

}  // namespace korv::vexatools::viewer
