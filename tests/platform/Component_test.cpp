#include "platform/Component.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pallador {
namespace {

// Records its name in a shared log when it is destroyed.
class TLogged : public TComponent {
 public:
  TLogged(TComponent* Owner, std::string Name, std::vector<std::string>& Log)
      : TComponent(Owner), Name_(std::move(Name)), Log_(Log) {}
  ~TLogged() override { Log_.push_back(Name_); }

 private:
  std::string Name_;
  std::vector<std::string>& Log_;
};

TEST(Component, OwnerFreesWhatItOwnsLastInsertedFirst) {
  std::vector<std::string> log;
  auto* owner = new TLogged(nullptr, "owner", log);
  auto* a = new TLogged(owner, "a", log);
  new TLogged(owner, "b", log);
  new TLogged(a, "a.1", log);
  ASSERT_EQ(owner->ComponentCount(), 2);
  EXPECT_EQ(owner->Components(0), a);
  EXPECT_EQ(a->Owner(), owner);

  delete owner;
  // The owner's own destructor body runs first, then its components go.
  EXPECT_EQ(log, (std::vector<std::string>{"owner", "b", "a", "a.1"}));
}

TEST(Component, ComponentFreedFirstLeavesItsOwner) {
  std::vector<std::string> log;
  {
    TLogged owner(nullptr, "owner", log);
    auto* a = new TLogged(&owner, "a", log);
    auto* b = new TLogged(&owner, "b", log);
    new TLogged(&owner, "c", log);
    delete b;
    ASSERT_EQ(owner.ComponentCount(), 2);
    EXPECT_EQ(owner.Components(0), a);
  }
  // b is freed once, and not again by its former owner.
  EXPECT_EQ(log, (std::vector<std::string>{"b", "owner", "c", "a"}));
}

// A component that frees a sibling from its destructor, as an object freeing
// a helper it created under the same owner does.
class TFreesSibling : public TComponent {
 public:
  TFreesSibling(TComponent* Owner, TComponent* Sibling) : TComponent(Owner), Sibling_(Sibling) {}
  ~TFreesSibling() override { delete Sibling_; }

 private:
  TComponent* Sibling_;
};

TEST(Component, ComponentFreeingASiblingDuringOwnerDestruction) {
  std::vector<std::string> log;
  auto* owner = new TComponent();
  auto* sibling = new TLogged(owner, "sibling", log);
  new TFreesSibling(owner, sibling);
  delete owner;  // under AddressSanitizer a double free or stale pointer fails here
  EXPECT_EQ(log, (std::vector<std::string>{"sibling"}));
}

}  // namespace
}  // namespace pallador
