#include <iphlpapi.h>

#include <cstring>

#include "collectors/mac_addresses.hpp"

namespace zavro {
namespace {

static_assert(sizeof(IP_ADAPTER_INFO) == AdapterListSource::kFirstBufferSize,
              "the first buffer holds exactly one adapter record");
static_assert(ERROR_BUFFER_OVERFLOW == AdapterListSource::kBufferOverflow);
static_assert(NO_ERROR == AdapterListSource::kNoError);

class IpHelperAdapterList : public AdapterListSource {
 public:
  std::uint32_t get(unsigned char* buffer, std::uint32_t* size) override {
    ULONG length = *size;
    const ULONG result = GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(buffer), &length);
    *size = length;
    return result;
  }

  std::vector<MacBytes> addresses(const unsigned char* buffer) override {
    std::vector<MacBytes> found;
    // Bytes 0 to 5 of every record, whatever AddressLength claims.
    for (auto* a = reinterpret_cast<const IP_ADAPTER_INFO*>(buffer); a != nullptr; a = a->Next) {
      MacBytes bytes;
      std::memcpy(bytes.data(), a->Address, bytes.size());
      found.push_back(bytes);
    }
    return found;
  }
};

}  // namespace

std::string mac_addresses() {
  IpHelperAdapterList source;
  return compose_addresses(read_adapter_list(source));
}

}  // namespace zavro
