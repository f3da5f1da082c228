// A plain HTTP/1.1 GET on loopback, for tests of the programs' HTTP endpoints.
#pragma once

#include <cstdint>
#include <string>

namespace vexatools::testsupport {

struct HttpReply {
  unsigned status = 0;
  std::string contentType;
  std::string body;
};

// GET `target` from 127.0.0.1:`port`, bounded to 10 s. Throws on a
// connection or protocol failure.
HttpReply HttpGet(std::uint16_t port, const std::string& target);

}  // namespace vexatools::testsupport
