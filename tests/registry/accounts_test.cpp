// People and robot tokens as each engine keeps them (PostgreSQL when
// ZAVRO_TEST_PG names a server): names unique, an admin always left, only
// hashes and digests stored.
#include "registry/accounts.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "registry/registry.hpp"
#include "support/registry_location.hpp"
#include "support/temp_dir.hpp"

namespace zavro::registry {
namespace {

std::vector<bool> engines() {
  const char* pg = std::getenv("ZAVRO_TEST_PG");
  if (pg == nullptr || *pg == '\0') return {false};
  return {false, true};
}

class AccountsTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    const std::string at =
        GetParam() ? zavro::testing::registry_location(dir_, "accounts") : dir_ / "accounts.sqlite";
    registry_ = Registry::open(at, true);
  }
  Accounts accounts() { return Accounts(registry_->store()); }

  zavro::testing::TempDir dir_;
  std::unique_ptr<Registry> registry_;
};

Account person(const std::string& name, Role role) {
  return {name, role, hash_password("pw-" + name), 1700000000};
}

std::vector<std::pair<std::string, Role>> roles(Accounts& a) {
  std::vector<std::pair<std::string, Role>> out;
  for (const Account& p : a.users()) out.emplace_back(p.name, p.role);
  return out;
}

TEST_P(AccountsTest, PeopleKeepOneAdminAndOnlyAHash) {
  Accounts a = accounts();
  EXPECT_FALSE(a.any_users());
  for (const auto& [name, role] : std::vector<std::pair<std::string, Role>>{
           {"vic", Role::kViewer}, {"ann", Role::kAdmin}, {"dan", Role::kDesk}}) {
    a.add_user(person(name, role));
  }
  EXPECT_THROW(a.add_user(person("dan", Role::kAdmin)), AccountRefused);
  EXPECT_TRUE(a.any_users());

  const auto dan = a.user("dan");
  ASSERT_TRUE(dan);
  EXPECT_EQ(dan->hash.rfind("$argon2id$", 0), 0U);
  EXPECT_EQ(dan->hash.find("pw-dan"), std::string::npos);
  EXPECT_TRUE(verify_password("pw-dan", dan->hash));
  EXPECT_FALSE(verify_password("pw-ann", dan->hash));
  EXPECT_FALSE(verify_password("pw-dan", "not a hash"));
  EXPECT_FALSE(a.user("Dan")) << "names are exact";

  // Each step in order: what it returns, or that it is refused, and the people after it.
  struct Step {
    const char* what;
    std::function<bool()> run;
    bool refused;
    bool result;
    std::vector<std::pair<std::string, Role>> after;
  };
  const std::vector<Step> steps = {
      {"the last admin made a viewer",
       [&] { return a.set_role("ann", Role::kViewer); },
       true,
       false,
       {{"ann", Role::kAdmin}, {"dan", Role::kDesk}, {"vic", Role::kViewer}}},
      {"the last admin removed",
       [&] { return a.remove_user("ann"); },
       true,
       false,
       {{"ann", Role::kAdmin}, {"dan", Role::kDesk}, {"vic", Role::kViewer}}},
      {"a second admin",
       [&] { return a.set_role("dan", Role::kAdmin); },
       false,
       true,
       {{"ann", Role::kAdmin}, {"dan", Role::kAdmin}, {"vic", Role::kViewer}}},
      {"then the first may go",
       [&] { return a.remove_user("ann"); },
       false,
       true,
       {{"dan", Role::kAdmin}, {"vic", Role::kViewer}}},
      {"nobody to remove",
       [&] { return a.remove_user("ann"); },
       false,
       false,
       {{"dan", Role::kAdmin}, {"vic", Role::kViewer}}},
      {"nobody's role",
       [&] { return a.set_role("zed", Role::kDesk); },
       false,
       false,
       {{"dan", Role::kAdmin}, {"vic", Role::kViewer}}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    if (step.refused) {
      EXPECT_THROW(step.run(), AccountRefused);
    } else {
      EXPECT_EQ(step.run(), step.result);
    }
    EXPECT_EQ(roles(a), step.after);
  }
}

TEST_P(AccountsTest, TokensKeepTheirDigestScopeExpiryAndLastUse) {
  Accounts a = accounts();
  const std::string secret = new_token();
  ASSERT_EQ(secret.size(), 64U);
  EXPECT_NE(secret, new_token());
  RobotToken intake{"mailer", Scope::kIntake, sha256(secret), 1700000000, 1700086400, {}};
  RobotToken reader{"dash", Scope::kRead, sha256("other"), 1700000001, {}, {}};
  a.add_token(intake);
  a.add_token(reader);
  EXPECT_THROW(a.add_token(reader), AccountRefused);

  a.touch_tokens({{"mailer", 1700000500}});
  a.touch_tokens({{"mailer", 1700000400}});  // late news never moves it back
  auto tokens = a.tokens();
  ASSERT_EQ(tokens.size(), 2U);
  EXPECT_EQ(tokens[0].name, "dash");
  EXPECT_EQ(tokens[0].scope, Scope::kRead);
  EXPECT_FALSE(tokens[0].expires);
  EXPECT_FALSE(tokens[0].last_used);
  EXPECT_EQ(tokens[1].digest, sha256(secret));
  EXPECT_EQ(tokens[1].scope, Scope::kIntake);
  EXPECT_EQ(tokens[1].expires, 1700086400);
  EXPECT_EQ(tokens[1].last_used, 1700000500);
  EXPECT_FALSE(tokens[1].expired(1700086399));
  EXPECT_TRUE(tokens[1].expired(1700086400));

  EXPECT_TRUE(a.revoke_token("mailer"));
  EXPECT_FALSE(a.revoke_token("mailer"));
  tokens = a.tokens();
  ASSERT_EQ(tokens.size(), 1U);
  EXPECT_EQ(tokens[0].name, "dash");
}

TEST(AccountNames, OnlyPlainNamesPass) {
  const std::vector<std::pair<std::string, bool>> cases = {{"ann", true},
                                                           {"a.b_c-d@site", true},
                                                           {"9lives", true},
                                                           {std::string(64, 'x'), true},
                                                           {"", false},
                                                           {std::string(65, 'x'), false},
                                                           {"-flag", false},
                                                           {".hidden", false},
                                                           {"two words", false},
                                                           {"tab\tname", false},
                                                           {"\x1b[31mred", false},
                                                           {"caf\xc3\xa9", false},
                                                           {"a/b", false},
                                                           {"token:x", false}};
  for (const auto& [name, valid] : cases) EXPECT_EQ(valid_name(name), valid) << name;
}

std::string engine_name(const ::testing::TestParamInfo<bool>& info) {
  return info.param ? "postgres" : "sqlite";
}

INSTANTIATE_TEST_SUITE_P(Engines, AccountsTest, ::testing::ValuesIn(engines()), engine_name);

}  // namespace
}  // namespace zavro::registry
