// Datagram sequences through the outside receiver's sample assembly, with
// legacy and extended leaders. The input's first byte picks the settings
// (data type, extended info on or off, component filter); the records after
// it are the datagrams. A completed sample holds exactly the bytes its
// leader announced.
#include <cstdint>
#include <memory>

#include "FuzzInput.hpp"
#include "FuzzLogging.hpp"
#include "SampleAssembler.hpp"
#include "korv/vexalib/Logger.hpp"

namespace {

namespace dt = korv::fnd::datatype;
using korv::vexalib::ExtendedInfoMode;
using korv::vexalib::detail::AssembledSample;
using korv::vexalib::detail::AssemblerSettings;
using korv::vexalib::detail::SampleAssembler;

AssemblerSettings SettingsFrom(std::uint8_t choice) {
  constexpr dt::DataType kTypes[] = {dt::Int16, dt::Byte, dt::Int32, dt::Double, dt::Unspecified, dt::Invalid,
                                     dt::ComplexFloat, dt::UInt16};
  AssemblerSettings settings;
  settings.dataType = kTypes[choice & 7];
  settings.extendedInfoMode = (choice & 8) != 0 ? ExtendedInfoMode::Enabled : ExtendedInfoMode::Disabled;
  settings.componentId = (choice & 16) != 0 ? 1 : 0;
  settings.logEveryFrame = (choice & 32) != 0;
  // Bounds what one leader makes the assembler allocate, as the receiver's
  // configuration does; small here so that each run stays fast.
  settings.maxSampleBytes = 1 << 20;
  return settings;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vexafuzz::FormatAndDiscard(korv::vexalib::Logger());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vexafuzz::RecordReader input(data, size);
  // Two sample objects, handed back at once after a completion, like the
  // receiver's delivery slots.
  int freeSlots = 2;
  SampleAssembler assembler(SettingsFrom(input.Byte()), [&freeSlots]() -> std::unique_ptr<AssembledSample> {
    if (freeSlots == 0) return nullptr;
    --freeSlots;
    return std::make_unique<AssembledSample>();
  });
  while (const auto datagram = input.Next()) {
    if (const auto sample = assembler.Feed(*datagram)) {
      const std::uint64_t units = sample->info.payloadDataUnits;
      const std::uint64_t bytes = sample->payload.size();
      VEXA_FUZZ_CHECK(units == 0 ? bytes == 0 : bytes % units == 0 && bytes / units <= 16);
      VEXA_FUZZ_CHECK(sample->payload.size() <= (1u << 20));
      ++freeSlots;
    }
  }
  return 0;
}
