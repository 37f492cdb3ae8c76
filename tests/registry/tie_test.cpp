// The tying rules on identities made by hand: each row one situation the
// README's table decides.
#include "registry/tie.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <optional>
#include <string>
#include <vector>

#include "registry/evidence_pack.hpp"
#include "registry/identity.hpp"

namespace zavro::registry {
namespace {

using Address = std::array<std::uint8_t, 6>;

constexpr Address kNic1 = {0x00, 0x1B, 0x21, 0x00, 0x00, 0x01};
constexpr Address kNic2 = {0x00, 0x1B, 0x21, 0x00, 0x00, 0x02};
constexpr Address kDongle = {0x00, 0x24, 0x9B, 0x00, 0x00, 0x09};
constexpr Address kVm1 = {0x00, 0x50, 0x56, 0x00, 0x00, 0x01};
constexpr Address kVm2 = {0x00, 0x50, 0x56, 0x00, 0x00, 0x02};

Identity make(std::optional<std::string> bios, std::optional<std::string> board,
              std::vector<Address> addresses, std::string name) {
  Identity id;
  id.bios = std::move(bios);
  id.board = std::move(board);
  std::sort(addresses.begin(), addresses.end());
  id.addresses = std::move(addresses);
  id.all_virtual = !id.addresses.empty() && id.addresses.front()[1] == 0x50;
  id.cpuid = "6/158/10";
  id.count = "8";
  id.name = name;
  id.name_fold = name;
  for (char& c : id.name_fold) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return id;
}

struct Row {
  const char* what;
  Identity known;
  Identity report;
  Match match;
};

TEST(Tie, EachSituation) {
  const std::vector<Row> rows = {
      {"reported again", make("S1", "B1", {kNic1}, "pc"), make("S1", "B1", {kNic1}, "pc"),
       Match::kSame},
      {"renamed, adapter added", make("S1", "B1", {kNic1}, "pc"),
       make("S1", "B1", {kNic1, kNic2}, "pc2"), Match::kChanged},
      {"adapter replaced", make("S1", "B1", {kNic1}, "pc"), make("S1", "B1", {kNic2}, "pc"),
       Match::kChanged},
      {"board and onboard adapter replaced, BIOS serial and name stay",
       make("S1", "B1", {kNic1}, "pc"), make("S1", "B2", {kNic2}, "pc"), Match::kChanged},
      {"one dummy serial, all else differs", make("S1", "DUMMY", {kNic1}, "pc-a"),
       make("S2", "DUMMY", {kNic2}, "pc-b"), Match::kNew},
      {"a dongle between desks without serials", make({}, {}, {kNic1, kDongle}, "desk-a"),
       make({}, {}, {kNic2, kDongle}, "desk-b"), Match::kNew},
      {"a second adapter replaced on one machine", make({}, {}, {kNic1, kDongle}, "desk-a"),
       make({}, {}, {kNic2, kDongle}, "desk-a"), Match::kChanged},
      {"a copied virtual machine", make("VMware-56 4d", "None-1", {kVm1}, "vm"),
       make("VMware-56 4d", "None-1", {kVm2}, "vm"), Match::kClone},
      {"the same virtual machine again", make("VMware-56 4d", {}, {kVm1}, "vm"),
       make("VMware-56 4d", {}, {kVm1}, "vm"), Match::kSame},
      {"nothing strong shared", make("S1", {}, {kNic1}, "pc"), make("S2", {}, {kNic2}, "pc"),
       Match::kNew},
  };
  for (const Row& row : rows) {
    const Decision d = tie_report(row.report, {{7, 9, row.known}});
    EXPECT_EQ(d.match, row.match) << row.what;
    EXPECT_EQ(d.machine.has_value(), row.match == Match::kSame || row.match == Match::kChanged)
        << row.what;
    if (d.machine) {
      EXPECT_EQ(d.previous, 9) << row.what;
    }
  }
}

TEST(Tie, SetApartOnOneSharedKeyIsAWitness) {
  const Decision d =
      tie_report(make("S2", "DUMMY", {kNic2}, "b"), {{7, 9, make("S1", "DUMMY", {kNic1}, "a")}});
  ASSERT_EQ(d.witnesses.size(), 1u);
  EXPECT_EQ(d.witnesses[0].first, (ComponentKey{KeyKind::kBoardSerial, "DUMMY"}));
  EXPECT_EQ(d.witnesses[0].second, 7);
}

TEST(Tie, ChangesNameWhatDiffers) {
  const auto changes =
      changes_between(make("S1", "B1", {kNic1}, "pc"), make("S1", "B2", {kNic2}, "PC"));
  ASSERT_EQ(changes.size(), 2u);  // a name differing in case only is no change
  EXPECT_EQ(changes[0].field, Key::kMacAddresses);
  EXPECT_EQ(changes[0].added, std::vector<std::string>{"00:1B:21:00:00:02"});
  EXPECT_EQ(changes[1].field, Key::kMotherboardSerial);
  EXPECT_EQ(changes[1].after, "B2");
}

TEST(Identity, EncodingRoundTripsAndRefusesDamage) {
  Identity id = make("S1", {}, {kNic1, kVm1}, std::string("n\0\xff", 3));
  id.name_fold = id.name;
  const std::string bytes = encode(id);
  const auto back = decode_identity(bytes);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->bios, id.bios);
  EXPECT_FALSE(back->board);
  EXPECT_EQ(back->addresses, id.addresses);
  EXPECT_EQ(back->name, id.name);
  EXPECT_FALSE(back->all_virtual);
  for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
    EXPECT_FALSE(decode_identity(bytes.substr(0, cut))) << cut;
  }
  EXPECT_FALSE(decode_identity(bytes + "x"));
}

// Stored evidence is packed: what the ties write reads back byte for byte,
// evidence kept before packing reads back as it was, and a tie's is smaller.
TEST(Evidence, PackedReadsBackExactly) {
  Decision tie;
  tie.machine = 7;
  tie.match = Match::kChanged;
  for (const Weight weight : {Weight::kTied, Weight::kClone, Weight::kDifferent}) {
    Weighed w;
    w.machine = 7;
    w.record = 9;
    w.weight = weight;
    w.components[3] = reader::Agreement::kConflict;  // MacAddresses
    tie.weighed.push_back(w);
  }
  tie.changes = changes_between(make("S1", "B1", {kNic1}, "pc"), make("S1", "B2", {kNic2}, "x"));
  tie.clone_of = {12};
  tie.decisions = {3};
  const std::string json = evidence_json(tie);
  const std::string old = R"({"rules":1,"weighed":[{"machine":1,"weight":"tied"}],"changes":[]})";
  for (const std::string& text :
       {json, evidence_json(Decision{}), old, std::string("{}"),
        std::string(R"({"field":"MachineName","before":"match\",\"","after":"]}\u0001"})")}) {
    EXPECT_EQ(unpack_evidence(pack_evidence(text)), text);
    EXPECT_EQ(unpack_evidence(text), text);
  }
  EXPECT_LT(pack_evidence(json).size() * 3, json.size());
}

}  // namespace
}  // namespace zavro::registry
