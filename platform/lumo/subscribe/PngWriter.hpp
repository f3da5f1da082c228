// Writes LUMO images as grey PNG files.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "lumo/LumoEncDec.hpp"

namespace lumo::subscribe {

// Writes the image described by `meta` as a grey PNG at `path`: 1-byte
// pixels as 8-bit, 2-byte pixels as 16-bit values as they are, 4- and
// 8-byte pixels scaled linearly from their smallest to their largest value
// onto 16 bits. Returns false with `error` set when the geometry does not
// match the data or the file cannot be written.
bool WriteGreyPng(const std::string& path, const MetaDataElementsImage3D& meta, std::span<const std::uint8_t> data,
                  std::string& error);
// The same PNG file, into `png` (replacing its contents).
bool EncodeGreyPng(const MetaDataElementsImage3D& meta, std::span<const std::uint8_t> data,
                   std::vector<std::uint8_t>& png, std::string& error);

}  // namespace lumo::subscribe
