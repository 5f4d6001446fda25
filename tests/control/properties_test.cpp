// The six values, their setters' notices and their round trip through a bag.
#include "control_fixture.h"
#include "support/recording_property_bag.h"

namespace vemblaric {
namespace {

using testing::ControlTest;
using testing::RecordingPropertyBag;

struct Values {
  short port;
  long baud;
  VARIANT_BOOL status;
  std::wstring buffer, company, version;
  bool operator==(const Values& o) const {
    return port == o.port && baud == o.baud && status == o.status && buffer == o.buffer &&
           company == o.company && version == o.version;
  }
};

void PrintTo(const Values& v, std::ostream* os) {
  *os << "{" << v.port << ", " << v.baud << ", " << v.status << ", \""
      << testing::FakeHostSite::Narrow(v.buffer) << "\"}";
}

Values Read(SerialControl& c) {
  Values v{};
  BSTR buffer = nullptr, company = nullptr, version = nullptr;
  EXPECT_EQ(c.get_Port(&v.port), S_OK);
  EXPECT_EQ(c.get_Baud(&v.baud), S_OK);
  EXPECT_EQ(c.get_Status(&v.status), S_OK);
  EXPECT_EQ(c.get_Buffer(&buffer), S_OK);
  EXPECT_EQ(c.get_Company(&company), S_OK);
  EXPECT_EQ(c.get_Version(&version), S_OK);
  v.buffer = testing::Text(Bstr::Adopt(buffer).get());
  v.company = testing::Text(Bstr::Adopt(company).get());
  v.version = testing::Text(Bstr::Adopt(version).get());
  return v;
}

const Values kDefaults{2, 57600, VARIANT_FALSE, L"", kCompanyText, L"1.0"};

class PropertiesTest : public ControlTest {
 protected:
  void SetOthers() {
    ASSERT_EQ(control.put_Port(5), S_OK);
    ASSERT_EQ(control.put_Baud(1234), S_OK);
    ASSERT_EQ(control.put_Status(VARIANT_TRUE), S_OK);
    ASSERT_EQ(control.put_Buffer(testing::MakeBstr(L"old").get()), S_OK);
    host.changed.clear();
  }
};

TEST_F(PropertiesTest, ANewInstanceHoldsTheDefaultsWithOrWithoutInitNewOrAnEmptyBag) {
  EXPECT_EQ(Read(control), kDefaults) << "created, no persistence call";
  EXPECT_FALSE(std::wstring(kCompanyText).empty());

  SetOthers();
  ASSERT_EQ(control.InitProperties(), S_OK);
  EXPECT_EQ(Read(control), kDefaults) << "after InitNew";

  SetOthers();
  RecordingPropertyBag empty;
  ASSERT_EQ(control.ReadProperties(&empty), S_OK);
  EXPECT_EQ(Read(control), kDefaults) << "restored from an empty bag";
  EXPECT_EQ(empty.reads, (std::vector<std::wstring>{L"Port", L"Baud", L"Status", L"Buffer",
                                                    L"Company", L"Version"}));
  EXPECT_TRUE(host.changed.empty()) << "persistence notifies nothing";
}

TEST_F(PropertiesTest, SaveThenRestoreGivesTheSameValuesWithTheTablesTypesAndOrder) {
  SetOthers();
  RecordingPropertyBag bag;
  ASSERT_EQ(control.WriteProperties(&bag), S_OK);

  const std::vector<std::pair<std::wstring, VARTYPE>> expected = {
      {L"Port", VT_I2},     {L"Baud", VT_I4},    {L"Status", VT_BOOL},
      {L"Buffer", VT_BSTR}, {L"Company", VT_BSTR}, {L"Version", VT_BSTR}};
  ASSERT_EQ(bag.writes.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(bag.writes[i].key, expected[i].first);
    EXPECT_EQ(bag.writes[i].value->vt, expected[i].second) << i;
  }
  EXPECT_EQ(bag.writes[2].value->boolVal, VARIANT_TRUE);

  testing::FakeHostSite otherHost;
  SerialControl other(otherHost, fake.table());
  ASSERT_EQ(other.ReadProperties(&bag), S_OK);
  EXPECT_EQ(Read(other), Read(control));
  EXPECT_EQ(Read(other), (Values{5, 1234, VARIANT_TRUE, L"old", kCompanyText, L"1.0"}));
}

TEST_F(PropertiesTest, AForeignCompanyAndVersionAreKeptAndSavedBackButNeverReturned) {
  RecordingPropertyBag bag;
  bag.stored[L"Company"] = Variant(L"Somebody else");
  bag.stored[L"Version"] = Variant(L"7.3");
  ASSERT_EQ(control.ReadProperties(&bag), S_OK);
  EXPECT_EQ(Read(control), kDefaults);

  RecordingPropertyBag saved;
  ASSERT_EQ(control.WriteProperties(&saved), S_OK);
  ASSERT_EQ(saved.writes.size(), 6u);
  EXPECT_EQ(testing::Text(saved.writes[4].value->bstrVal), L"Somebody else");
  EXPECT_EQ(testing::Text(saved.writes[5].value->bstrVal), L"7.3");
}

TEST_F(PropertiesTest, StatusSavedAsTheInteger1RestoresAsTrue) {
  RecordingPropertyBag bag;
  bag.stored[L"Status"] = Variant(short{1});
  ASSERT_EQ(control.ReadProperties(&bag), S_OK);
  VARIANT_BOOL status = 0;
  ASSERT_EQ(control.get_Status(&status), S_OK);
  EXPECT_EQ(status, VARIANT_TRUE);
}

// A restore that fails at any key, by conversion or by the bag itself, reads
// no key after it and leaves every value as it was.
struct RestoreFailure {
  const wchar_t* key;
  Variant stored;
  HRESULT bagFailure;  // S_OK: the bag answers with `stored`
  HRESULT expected;
};

TEST_F(PropertiesTest, ARestoreThatFailsAtAnyKeyChangesNoValue) {
  const RestoreFailure cases[] = {
      {L"Port", Variant(long{70000}), S_OK, static_cast<HRESULT>(0x800A0006)},
      {L"Baud", Variant(double{1e12}), S_OK, static_cast<HRESULT>(0x800A0006)},
      {L"Baud", Variant(L"fast"), S_OK, static_cast<HRESULT>(0x800A000D)},
      {L"Status", Variant(L"maybe"), S_OK, static_cast<HRESULT>(0x800A000D)},
      {L"Buffer", Variant(), STG_E_ACCESSDENIED, STG_E_ACCESSDENIED},
      {L"Version", Variant(), STG_E_READFAULT, STG_E_READFAULT},
  };
  for (const RestoreFailure& c : cases) {
    SCOPED_TRACE(testing::FakeHostSite::Narrow(c.key));
    SetOthers();
    const Values before = Read(control);
    RecordingPropertyBag bag;
    bag.stored[L"Port"] = Variant(short{4});
    bag.stored[L"Baud"] = Variant(long{300});
    bag.stored[L"Status"] = Variant(short{0});
    bag.stored[L"Buffer"] = Variant(L"new");
    bag.stored[L"Company"] = Variant(L"Somebody else");
    if (c.bagFailure != S_OK) bag.readFailures[c.key] = c.bagFailure;
    else ASSERT_EQ(bag.stored[c.key].CopyFrom(*c.stored.get()), S_OK);
    EXPECT_EQ(control.ReadProperties(&bag), c.expected);
    EXPECT_EQ(Read(control), before);
    EXPECT_EQ(bag.reads.back(), c.key) << "no key after the failing one is read";

    RecordingPropertyBag saved;  // also the kept texts behind Company and Version
    ASSERT_EQ(control.WriteProperties(&saved), S_OK);
    EXPECT_EQ(testing::Text(saved.writes[4].value->bstrVal), kCompanyText);
  }
}

TEST_F(PropertiesTest, AFailingBagWriteEndsTheSaveAtThatKeyWithTheBagsStatus) {
  RecordingPropertyBag target;
  target.writeFailures[L"Status"] = STG_E_MEDIUMFULL;
  EXPECT_EQ(control.WriteProperties(&target), STG_E_MEDIUMFULL);
  ASSERT_EQ(target.writes.size(), 2u) << "Port and Baud, nothing after Status";
  EXPECT_EQ(target.writes[1].key, L"Baud");
}

TEST_F(PropertiesTest, EverySetterNotifiesAfterItsStoreAlsoForAnEqualValue) {
  struct Setter {
    DISPID dispid;
    std::function<HRESULT()> set;
    std::function<bool()> stored;
  };
  const std::vector<Setter> setters = {
      {kDispidPort, [&] { return control.put_Port(9); }, [&] { return Read(control).port == 9; }},
      {kDispidBaud, [&] { return control.put_Baud(300); },
       [&] { return Read(control).baud == 300; }},
      {kDispidStatus, [&] { return control.put_Status(1); },
       [&] { return Read(control).status == 1; }},  // kept as given, not made -1
      {kDispidBuffer, [&] { return control.put_Buffer(testing::MakeBstr(L"x").get()); },
       [&] { return Read(control).buffer == L"x"; }},
  };
  for (const Setter& s : setters) {
    SCOPED_TRACE(s.dispid);
    for (int round = 0; round < 2; ++round) {  // the second stores an equal value
      host.changed.clear();
      bool storedFirst = false;
      host.onChanged = [&](DISPID) { storedFirst = s.stored(); };
      EXPECT_EQ(s.set(), S_OK);
      EXPECT_EQ(host.changed, std::vector<DISPID>{s.dispid});
      EXPECT_TRUE(storedFirst);
    }
    host.changeResult = E_ACCESSDENIED;
    EXPECT_EQ(s.set(), E_ACCESSDENIED) << "a failed notice is the setter's failure";
    EXPECT_TRUE(s.stored()) << "the value stays stored";
    host.changeResult = S_OK;
  }
}

TEST_F(PropertiesTest, GettersAndPersistenceRefuseNullPointers) {
  EXPECT_EQ(control.get_Port(nullptr), E_POINTER);
  EXPECT_EQ(control.get_Baud(nullptr), E_POINTER);
  EXPECT_EQ(control.get_Status(nullptr), E_POINTER);
  EXPECT_EQ(control.get_Buffer(nullptr), E_POINTER);
  EXPECT_EQ(control.get_Company(nullptr), E_POINTER);
  EXPECT_EQ(control.get_Version(nullptr), E_POINTER);
  EXPECT_EQ(control.ReadProperties(nullptr), E_POINTER);
  EXPECT_EQ(control.WriteProperties(nullptr), E_POINTER);
}

}  // namespace
}  // namespace vemblaric
