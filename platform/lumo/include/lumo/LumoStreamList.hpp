// Asking a LUMO broker which streams are registered.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lumo {

struct StreamEntry {
  std::string name;
  std::string multicast;  // the stream's multicast endpoint, "" when it has none
};

class LumoStreamList {
 public:
  explicit LumoStreamList(std::string brokerUri);
  ~LumoStreamList();
  LumoStreamList(const LumoStreamList&) = delete;
  LumoStreamList& operator=(const LumoStreamList&) = delete;

  // The names the broker lists (LIST), waiting at most `timeoutMs`. Empty,
  // with `failure` saying why, when the broker did not answer in time, the
  // URI is not usable or the reply is malformed. Names that are not valid
  // stream names are left out.
  std::optional<std::vector<std::string>> List(int timeoutMs, std::string& failure);
  // As List, with each stream's multicast endpoint (LIST "" MULTICAST).
  // Entries whose name or endpoint is malformed are left out.
  std::optional<std::vector<StreamEntry>> ListWithMulticast(int timeoutMs, std::string& failure);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace lumo
