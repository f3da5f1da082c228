#include "korv/vexatools/lumopublish/ImageWriter.hpp"

#include <algorithm>
#include <utility>

namespace korv::vexatools::lumopublish {

std::unique_ptr<lumo::LumoDataPublisher> CreatePublisher() {
  auto publisher = lumo::LumoDataTransferFactory::CreatePublisher(nullptr);
  publisher->SetQoS(10000, 10);
  return publisher;
}

int BufferedImages(std::int64_t imageBytes) {
  constexpr std::int64_t kMostBytes = 64 << 20;
  return static_cast<int>(std::clamp<std::int64_t>(kMostBytes / std::max<std::int64_t>(imageBytes, 1), 2, 8));
}

void WriteImage(lumo::LumoDataPublisher& publisher, lumo::LumoEncDecImage3D& encoder,
                const lumo::MetaDataElementsImage3D& record, std::vector<std::uint8_t> pixels) {
  encoder.Encode(record);
  const std::vector<std::uint8_t> metaData = encoder.get_meta_data();
  publisher.WriteData(0, std::move(pixels), metaData);
  publisher.CompleteWrite();
}

}  // namespace korv::vexatools::lumopublish
