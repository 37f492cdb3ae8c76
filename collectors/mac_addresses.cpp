#include "collectors/mac_addresses.hpp"

#include <memory>
#include <new>

namespace zavro {

std::string compose_addresses(const std::vector<MacBytes>& addresses) {
  std::string result;
  result.reserve(addresses.size() * 28);
  std::uint32_t index = 0;
  for (const MacBytes& a : addresses) append_address_element(result, index++, a);
  return result;
}

std::vector<MacBytes> read_adapter_list(AdapterListSource& source) {
  std::uint32_t size = AdapterListSource::kFirstBufferSize;
  std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[size]);
  if (!buffer) return {};
  if (source.get(buffer.get(), &size) == AdapterListSource::kBufferOverflow) {
    buffer.reset(new (std::nothrow) unsigned char[size]);
    if (!buffer) return {};
  }
  // The list may grow between the calls; then the second call fails and we
  // report nothing rather than a partial list.
  if (source.get(buffer.get(), &size) != AdapterListSource::kNoError) return {};
  return source.addresses(buffer.get());
}

}  // namespace zavro
