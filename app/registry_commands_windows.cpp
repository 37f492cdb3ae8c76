// The registry needs SQLite and libarchive: the Windows build reads, checks
// and compares reports only, and says so.
#include "app/registry_commands.hpp"

namespace zavro {
namespace {

class NoRegistry final : public RegistryCommands {
 public:
  std::optional<int> run() override { return std::nullopt; }
};

}  // namespace

std::unique_ptr<RegistryCommands> add_registry_commands(CLI::App& app,
                                                        const std::string& /*version*/) {
  app.footer(
      "The registry commands (add, find, machines, history, placeholders, clones, rejected, "
      "rebuild, serve) are in the Linux build.");
  return std::make_unique<NoRegistry>();
}

}  // namespace zavro
