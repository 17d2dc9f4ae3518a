#include "server/AddressBook.h"

#include <algorithm>

namespace quorvane {

const char* refusalReason(AddressRecord::Refusal kind) {
  switch (kind) {
    case AddressRecord::Banned: return "address banned";
    case AddressRecord::TooManyPending: return "too many connections not logged in";
    case AddressRecord::TooManyConnections: return "too many connections from this address";
    case AddressRecord::ServerFull: return "server full";
    default: return "join refused";
  }
}

AddressRecord& AddressBook::at(std::uint32_t address) { return records_[address]; }

void AddressBook::expire(std::time_t now, std::time_t keep) {
  std::erase_if(records_, [&](const auto& entry) {
    const AddressRecord& record = entry.second;
    const bool quiet = std::none_of(record.quiet.begin(), record.quiet.end(),
                                    [](const AddressRecord::QuietLog& q) { return q.leftOut; });
    return record.connections == 0 && record.bannedUntil <= now && quiet &&
           now - record.lastClosed >= keep;
  });
}

void AddressBook::forEach(const std::function<void(std::uint32_t, AddressRecord&)>& visit) {
  for (auto& [address, record] : records_) visit(address, record);
}

}  // namespace quorvane
