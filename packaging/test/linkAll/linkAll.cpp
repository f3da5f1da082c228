// Uses one symbol of each library of the vexatools CMake package, so that
// the program links only when the imported targets bring every include
// directory and library the interfaces need, and runs only when the
// installed libraries find theirs.
#include "korv/vexalib/FindFile.hpp"
#include "korv/vexatools/AppLogger.hpp"
#include "korv/vexatools/LumoSender.hpp"
#include "korv/vexatools/Vexa2LumoReceiver.hpp"
#include "korv/vexatools/VexaReceiver.hpp"
#include "korv/vexatools/vexa2lumolib_wirefast/LumoSender.hpp"
#include "korv/vexatools/vexa2lumolib_wirefast/Vexa2LumoGateway.hpp"
#include "lumo/LumoStreamList.hpp"

int main() {
  korv::vexatools::GetAppLogger();
  lumo::LumoStreamList streams("tcp://127.0.0.1:5570");
  const bool queued = korv::vexatools::LumoSender::new_data.load() ||
                      korv::vexatools::vexa2lumolib_wirefast::LumoSender::new_data.load();
  return queued || !korv::vexalib::FindFile("").empty() ? 1 : 0;
}
