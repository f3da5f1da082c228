// Writing one image to a LUMO publisher, and how many images the
// publisher may hold for a subscriber.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "lumo/LumoDataTransfer.hpp"
#include "lumo/LumoEncDec.hpp"

namespace korv::vexatools::lumopublish {

// A new LUMO publisher (not registered) with the senders' quality of service.
std::unique_ptr<lumo::LumoDataPublisher> CreatePublisher();

// Images that may wait for a subscriber before the publisher drops further
// ones for it: enough to ride out a subscriber that is descheduled for a few
// images at full rate (with 2, a loaded machine loses images at a third of
// the rate the receiver takes), within about 64 MiB per subscriber; 2 to 8.
int BufferedImages(std::int64_t imageBytes);

// Encodes `record` with `encoder` and writes it with `pixels` as one image;
// the publisher takes the pixel vector over without copying it. Throws what
// the LUMO library throws; the caller reports it and drops the image.
void WriteImage(lumo::LumoDataPublisher& publisher, lumo::LumoEncDecImage3D& encoder,
                const lumo::MetaDataElementsImage3D& record, std::vector<std::uint8_t> pixels);

}  // namespace korv::vexatools::lumopublish
