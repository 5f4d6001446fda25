// The control through IDispatch: every member reached by member identifier, by
// name and through its function-table place, with the same outcome; argument
// conversion, counts and the failures a host sees.
#include <functional>
#include <thread>

#include "com/dispatch.h"
#include "control_object/identifiers.h"
#include "support/com_test.h"
#include "support/nullmodem.h"

namespace vemblaric {
namespace {

using testing::ComApartment;
using testing::Ptr;
using testing::Str;

// One argument: its type, whether it is passed by reference, its value.
struct Arg {
  VARTYPE type;
  bool byRef;
  long number;
  std::wstring text;
};
Arg I2(short v, bool ref = true) { return {VT_I2, ref, v, L""}; }
Arg I4(long v, bool ref = true) { return {VT_I4, ref, v, L""}; }
Arg Bool(VARIANT_BOOL v, bool ref = true) { return {VT_BOOL, ref, v, L""}; }
Arg Text(const wchar_t* v, bool ref = true) { return {VT_BSTR, ref, 0, v}; }

// The storage of one argument, so by-reference values can be read back.
struct Slot {
  short i2 = 0;
  long i4 = 0;
  VARIANT_BOOL b = 0;
  BSTR s = nullptr;
  ~Slot() { ::SysFreeString(s); }
  void Fill(const Arg& a) {
    i2 = static_cast<short>(a.number), i4 = a.number, b = static_cast<VARIANT_BOOL>(a.number);
    if (a.type == VT_BSTR) s = ::SysAllocString(a.text.c_str());
  }
  VARIANT Variant(VARTYPE type, bool byRef) {
    VARIANT v;
    ::VariantInit(&v);
    v.vt = static_cast<VARTYPE>(type | (byRef ? VT_BYREF : 0));
    switch (type) {
      case VT_I2: byRef ? (void)(v.piVal = &i2) : (void)(v.iVal = i2); break;
      case VT_I4: byRef ? (void)(v.plVal = &i4) : (void)(v.lVal = i4); break;
      case VT_BOOL: byRef ? (void)(v.pboolVal = &b) : (void)(v.boolVal = b); break;
      default: byRef ? (void)(v.pbstrVal = &s) : (void)(v.bstrVal = s); break;
    }
    return v;
  }
  std::wstring Read(VARTYPE type) const {
    switch (type) {
      case VT_I2: return std::to_wstring(i2);
      case VT_I4: return std::to_wstring(i4);
      case VT_BOOL: return std::to_wstring(b);
      default: return L"\"" + Str(s) + L"\"";
    }
  }
};

enum class Way { ByDispid, ByName, ByVtable };

struct MemberCall {
  const wchar_t* name;
  DISPID dispid;
  WORD kind;           // DISPATCH_METHOD, DISPATCH_PROPERTYGET or DISPATCH_PROPERTYPUT
  std::vector<Arg> args;
  VARTYPE result;      // VT_EMPTY for none
  const wchar_t* expect;  // part of the outcome every way must show
};

// Everything a caller can observe after the call.
std::wstring Outcome(_SerialControl* c, HRESULT hr, const std::wstring& result,
                     const std::vector<Arg>& args, const std::vector<Slot>& slots) {
  std::wstring out = L"hr=" + std::to_wstring(hr) + L" result=" + result + L" args=";
  for (size_t i = 0; i < args.size(); ++i)
    if (args[i].byRef) out += slots[i].Read(args[i].type) + L",";
  short port = 0;
  long baud = 0;
  VARIANT_BOOL status = 0;
  BSTR buffer = nullptr, line = nullptr;
  long code = 0;
  c->get_Port(&port);
  c->get_Baud(&baud);
  c->get_Status(&status);
  c->get_Buffer(&buffer);
  c->CommGetError(&line, &code);
  out += L" Port=" + std::to_wstring(port) + L" Baud=" + std::to_wstring(baud) +
         L" Status=" + std::to_wstring(status) + L" Buffer=" + Str(buffer) + L" " + Str(line);
  ::SysFreeString(buffer);
  ::SysFreeString(line);
  return out;
}

std::wstring Describe(VARIANT* v) {
  if (v->vt == VT_EMPTY) return L"none";
  VARIANT text;
  ::VariantInit(&text);
  if (FAILED(::VariantChangeType(&text, v, 0, VT_BSTR))) return L"?";
  std::wstring s = std::to_wstring(v->vt) + L":" + Str(text.bstrVal);
  ::VariantClear(&text);
  return s;
}

// The function-table view of the dual interface, from the object's own type.
Ptr<ITypeInfo> VtableView(IDispatch* d) {
  Ptr<ITypeInfo> dispatchView, vtable;
  HREFTYPE ref = 0;
  d->GetTypeInfo(0, 0, dispatchView.put());
  dispatchView->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref);
  dispatchView->GetRefTypeInfo(ref, vtable.put());
  return vtable;
}

std::wstring CallOneWay(const MemberCall& m, Way way, _SerialControl* c) {
  std::vector<Slot> slots(m.args.size());
  for (size_t i = 0; i < m.args.size(); ++i) slots[i].Fill(m.args[i]);
  HRESULT hr = E_FAIL;
  VARIANT result;
  ::VariantInit(&result);

  if (way == Way::ByVtable) {
    Ptr<ITypeInfo> vtable = VtableView(c);
    const INVOKEKIND kind = m.kind == DISPATCH_PROPERTYGET   ? INVOKE_PROPERTYGET
                            : m.kind == DISPATCH_PROPERTYPUT ? INVOKE_PROPERTYPUT
                                                             : INVOKE_FUNC;
    UINT index = 0;
    FUNCDESC* fd = nullptr;
    for (;; ++index) {
      if (FAILED(vtable->GetFuncDesc(index, &fd))) return L"no function-table place";
      if (fd->memid == m.dispid && fd->invkind == kind) break;
      vtable->ReleaseFuncDesc(fd);
    }
    std::vector<VARIANT> values;
    for (size_t i = 0; i < m.args.size(); ++i)
      values.push_back(slots[i].Variant(m.args[i].type, m.args[i].byRef));
    Slot out;
    if (m.result != VT_EMPTY) values.push_back(out.Variant(m.result, true));
    std::vector<VARTYPE> types;
    std::vector<VARIANTARG*> pointers;
    for (auto& v : values) types.push_back(v.vt), pointers.push_back(&v);
    VARIANT status;
    ::VariantInit(&status);
    hr = ::DispCallFunc(c, fd->oVft, CC_STDCALL, VT_ERROR, static_cast<UINT>(values.size()),
                        types.data(), pointers.data(), &status);
    vtable->ReleaseFuncDesc(fd);
    if (SUCCEEDED(hr)) hr = status.scode;
    std::wstring shown = L"none";
    if (m.result != VT_EMPTY) {
      VARIANT value = out.Variant(m.result, false);
      shown = Describe(&value);
    }
    return Outcome(c, hr, shown, m.args, slots);
  }

  DISPID id = m.dispid;
  if (way == Way::ByName) {
    LPOLESTR name = const_cast<LPOLESTR>(m.name);
    id = 0;
    if (FAILED(c->GetIDsOfNames(IID_NULL, &name, 1, 0, &id))) return L"name unknown";
  }
  std::vector<VARIANT> values;
  for (size_t i = m.args.size(); i-- > 0;)
    values.push_back(slots[i].Variant(m.args[i].type, m.args[i].byRef));
  DISPID put = DISPID_PROPERTYPUT;
  DISPPARAMS params = {values.data(), m.kind == DISPATCH_PROPERTYPUT ? &put : nullptr,
                       static_cast<UINT>(values.size()), m.kind == DISPATCH_PROPERTYPUT ? 1u : 0u};
  hr = c->Invoke(id, IID_NULL, 0, m.kind, &params, &result, nullptr, nullptr);
  std::wstring shown = m.result == VT_EMPTY ? L"none" : Describe(&result);
  ::VariantClear(&result);
  return Outcome(c, hr, shown, m.args, slots);
}

// Every member of _SerialControl, in interface order. Port 1 is a real
// device; a fresh control answers each call.
const std::vector<MemberCall> kMembers = {
    {L"Open_Com", 0x60030006, DISPATCH_METHOD, {}, VT_EMPTY, L"Status=-1"},
    {L"Close_Com", 0x60030007, DISPATCH_METHOD, {}, VT_EMPTY, L"hr=0"},
    {L"Read_Com", 0x60030008, DISPATCH_METHOD, {}, VT_EMPTY, L"CommRead (ClearCommError)"},
    {L"Write_Com", 0x60030009, DISPATCH_METHOD, {Text(L"hi", false)}, VT_EMPTY, L"CommWrite (WriteFile)"},
    {L"Port", 0x68030005, DISPATCH_PROPERTYGET, {}, VT_I2, L"result=2:2"},
    {L"Port", 0x68030005, DISPATCH_PROPERTYPUT, {I2(3, false)}, VT_EMPTY, L"Port=3"},
    {L"Baud", 0x68030004, DISPATCH_PROPERTYGET, {}, VT_I4, L"result=3:57600"},
    {L"Baud", 0x68030004, DISPATCH_PROPERTYPUT, {I4(9600, false)}, VT_EMPTY, L"Baud=9600"},
    {L"Status", 0x68030003, DISPATCH_PROPERTYGET, {}, VT_BOOL, L"result=11:0"},
    {L"Status", 0x68030003, DISPATCH_PROPERTYPUT, {Bool(-1, false)}, VT_EMPTY, L"Status=-1"},
    {L"Clear_Com", 0x6003000A, DISPATCH_METHOD, {}, VT_EMPTY, L"CommFlush (PurgeComm)"},
    {L"Buffer", 0x68030002, DISPATCH_PROPERTYGET, {}, VT_BSTR, L"result=8:"},
    {L"Buffer", 0x68030002, DISPATCH_PROPERTYPUT, {Text(L"abc", false)}, VT_EMPTY, L"Buffer=abc"},
    {L"Company", 0x68030001, DISPATCH_PROPERTYGET, {}, VT_BSTR, L"Vemblaric serial control"},
    {L"ControlOn", 0x6003000E, DISPATCH_METHOD, {}, VT_EMPTY, L"CommSetLine (EscapeCommFunction)"},
    {L"ControlOff", 0x6003000F, DISPATCH_METHOD, {}, VT_EMPTY, L"CommSetLine (EscapeCommFunction)"},
    {L"waitnow", 0x60030010, DISPATCH_METHOD, {I4(1)}, VT_EMPTY, L"args=1,"},
    {L"GetSystemMessage", 0x60030011, DISPATCH_METHOD, {I4(2)}, VT_BSTR, L"args=2,"},
    {L"CommOpen", 0x60030012, DISPATCH_METHOD,
     {I2(1), Text(L"COM1"), Text(L"baud=9600 parity=N data=8 stop=1")}, VT_I4, L"result=3:0"},
    {L"CommSet", 0x60030015, DISPATCH_METHOD, {I2(1), Text(L"baud=9600")}, VT_I4, L"CommSet (GetCommState)"},
    {L"CommClose", 0x60030016, DISPATCH_METHOD, {I2(1)}, VT_I4, L"result=3:0"},
    {L"CommFlush", 0x60030017, DISPATCH_METHOD, {I2(5)}, VT_I4, L"result=3:9"},
    {L"CommRead", 0x60030018, DISPATCH_METHOD, {I2(5), Text(L"old"), I4(64)}, VT_I4, L"args=5,\"\",64,"},
    {L"CommWrite", 0x60030019, DISPATCH_METHOD, {I2(0), Text(L"x")}, VT_I4, L"CommWrite - Subscript"},
    {L"CommGetLine", 0x6003001A, DISPATCH_METHOD, {I2(2), I2(0x80), Bool(-1)}, VT_I4, L"args=2,128,-1,"},
    {L"CommSetLine", 0x6003001B, DISPATCH_METHOD, {I2(2), I2(2), Bool(-1)}, VT_I4, L"CommSetLine (EscapeCommFunction)"},
    {L"CommGetError", 0x6003001C, DISPATCH_METHOD, {Text(L"")}, VT_I4, L"args=\"Error (0):  - \","},
    {L"settingeval", 0x6003001D, DISPATCH_METHOD, {I4(57600)}, VT_BSTR, L"baud=57600 parity=N data=8 stop=1"},
    {L"looprocess", 0x6003001E, DISPATCH_METHOD, {}, VT_EMPTY, L"hr=0"},
    {L"close_Com_norm", 0x6003001F, DISPATCH_METHOD, {}, VT_EMPTY, L"hr=0"},
    {L"Version", 0x68030000, DISPATCH_PROPERTYGET, {}, VT_BSTR, L"result=8:1.0"},
};

class EveryMember : public ComApartment, public ::testing::WithParamInterface<MemberCall> {};

TEST_P(EveryMember, GivesTheSameOutcomeByIdentifierByNameAndByFunctionTablePlace) {
  const MemberCall& m = GetParam();
  std::wstring outcomes[3];
  const Way ways[] = {Way::ByDispid, Way::ByName, Way::ByVtable};
  for (int i = 0; i < 3; ++i) {
    Ptr<_SerialControl> control = NewControl();
    ASSERT_TRUE(control);
    if (m.dispid == 0x60030006) ASSERT_HRESULT_SUCCEEDED(control->put_Port(1));
    outcomes[i] = CallOneWay(m, ways[i], control.get());
  }
  EXPECT_EQ(outcomes[0], outcomes[1]);
  EXPECT_EQ(outcomes[0], outcomes[2]);
  EXPECT_NE(outcomes[0].find(m.expect), std::wstring::npos) << outcomes[0];
}

INSTANTIATE_TEST_SUITE_P(Members, EveryMember, ::testing::ValuesIn(kMembers),
                         [](const auto& info) {
                           std::string name;
                           for (const wchar_t* p = info.param.name; *p; ++p) name += static_cast<char>(*p);
                           if (info.param.kind == DISPATCH_PROPERTYGET) name += "_get";
                           if (info.param.kind == DISPATCH_PROPERTYPUT) name += "_put";
                           return name;
                         });

// --- Names, identifiers and conversions ---------------------------------------

class Dispatch : public ComApartment {
 protected:
  HRESULT Put(DISPID id, VARIANT value, EXCEPINFO* info = nullptr, UINT* argErr = nullptr) {
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS p = {&value, &named, 1, 1};
    return control->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYPUT, &p, nullptr, info, argErr);
  }
  HRESULT Call(DISPID id, std::vector<VARIANT> reversed, VARIANT* result = nullptr,
               UINT* argErr = nullptr) {
    DISPPARAMS p = {reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    return control->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &p, result, nullptr, argErr);
  }
  void SetUp() override {
    ComApartment::SetUp();
    control = NewControl();
    ASSERT_TRUE(control);
  }
  void TearDown() override {
    control.reset();
    ComApartment::TearDown();
  }
  static VARIANT I2Value(short v) {
    VARIANT x;
    ::VariantInit(&x);
    x.vt = VT_I2;
    x.iVal = v;
    return x;
  }
  Ptr<_SerialControl> control;
};

TEST_F(Dispatch, NamesAreFoundWithoutRegardToCaseHiddenOnesIncluded) {
  const struct {
    const wchar_t* name;
    DISPID id;
  } cases[] = {{L"port", 0x68030005}, {L"COMPANY", 0x68030001}, {L"commopen", 0x60030012},
               {L"Close_Com_Norm", 0x6003001F}, {L"Version", 0x68030000}};
  for (const auto& c : cases) {
    LPOLESTR name = const_cast<LPOLESTR>(c.name);
    DISPID id = 0;
    EXPECT_HRESULT_SUCCEEDED(control->GetIDsOfNames(IID_NULL, &name, 1, 0, &id));
    EXPECT_EQ(id, c.id) << Str(name);
  }
  LPOLESTR names[] = {const_cast<LPOLESTR>(L"CommRead"), const_cast<LPOLESTR>(L"lngsize"),
                      const_cast<LPOLESTR>(L"intPortID")};
  DISPID ids[3] = {};
  EXPECT_HRESULT_SUCCEEDED(control->GetIDsOfNames(IID_NULL, names, 3, 0, ids));
  EXPECT_EQ(ids[0], 0x60030018);
  EXPECT_EQ(ids[1], 2);
  EXPECT_EQ(ids[2], 0);
}

TEST_F(Dispatch, ReadOnlyPropertiesAndUnknownIdentifiersAreNotMembers) {
  VARIANT text;
  ::VariantInit(&text);
  text.vt = VT_BSTR;
  text.bstrVal = ::SysAllocString(L"other");
  EXPECT_EQ(Put(0x68030001, text), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(Put(0x68030000, text), DISP_E_MEMBERNOTFOUND);
  ::VariantClear(&text);
  EXPECT_EQ(Call(0x60030013, {}), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(Call(0, {}), DISP_E_MEMBERNOTFOUND);
  BSTR company = nullptr;
  control->get_Company(&company);
  EXPECT_EQ(Str(company), L"Vemblaric serial control");
  ::SysFreeString(company);
}

TEST_F(Dispatch, ArgumentsAreConvertedByTheAutomationRules) {
  EXPECT_HRESULT_SUCCEEDED(Put(0x68030003, I2Value(1)));
  VARIANT_BOOL status = 0;
  control->get_Status(&status);
  EXPECT_EQ(status, VARIANT_TRUE);

  VARIANT text;
  ::VariantInit(&text);
  text.vt = VT_BSTR;
  text.bstrVal = ::SysAllocString(L"19200");
  EXPECT_HRESULT_SUCCEEDED(Put(0x68030004, text));
  ::VariantClear(&text);
  long baud = 0;
  control->get_Baud(&baud);
  EXPECT_EQ(baud, 19200);
}

TEST_F(Dispatch, WrongCountsAndUnconvertibleArgumentsNeverEnterTheMember) {
  // Write_Com would change Status; nothing may.
  ASSERT_HRESULT_SUCCEEDED(control->put_Status(VARIANT_TRUE));
  EXPECT_EQ(Call(0x60030009, {}), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(Call(0x60030009, {I2Value(1), I2Value(2)}), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(Call(0x60030006, {I2Value(1)}), DISP_E_BADPARAMCOUNT);

  VARIANT word;
  ::VariantInit(&word);
  word.vt = VT_BSTR;
  word.bstrVal = ::SysAllocString(L"fast");
  UINT argErr = 99;
  EXPECT_EQ(Put(0x68030004, word, nullptr, &argErr), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(argErr, 0u);
  ::VariantClear(&word);
  long baud = 0;
  control->get_Baud(&baud);
  EXPECT_EQ(baud, 57600);
  VARIANT_BOOL status = 0;
  control->get_Status(&status);
  EXPECT_EQ(status, VARIANT_TRUE);
}

// As script engines pass variables: VT_BYREF|VT_VARIANT around plain values,
// here for CommRead(p, s, 64) on the bench.
TEST_F(Dispatch, ScriptVariablesPassedByReferenceReceiveTheOutValues) {
  testing::RealPort peer;
  ASSERT_EQ(peer.Open(2), 0);
  ASSERT_EQ(testing::OpenThroughPrimitive(control.get(), 1), 0);
  const std::wstring sent(64, L'v');
  ASSERT_EQ(peer.Write(2, sent), 64);

  VARIANT port, text, size;
  ::VariantInit(&port), ::VariantInit(&text), ::VariantInit(&size);
  port.vt = VT_I4, port.lVal = 1;  // converted to Integer on the way in
  size.vt = VT_I2, size.iVal = 64;
  VARIANT refs[3];
  VARIANT* targets[3] = {&size, &text, &port};  // arguments arrive last first
  for (int i = 0; i < 3; ++i) {
    ::VariantInit(&refs[i]);
    refs[i].vt = VT_BYREF | VT_VARIANT;
    refs[i].pvarVal = targets[i];
  }
  VARIANT result;
  ::VariantInit(&result);
  std::wstring received;
  // The bytes may still be on their way: read until they are all in, for
  // five seconds at the most.
  const DWORD start = ::GetTickCount();
  while (received.size() < sent.size() && ::GetTickCount() - start < 5000) {
    ::VariantClear(&result);
    ASSERT_HRESULT_SUCCEEDED(Call(0x60030018, {refs[0], refs[1], refs[2]}, &result));
    ASSERT_EQ(result.vt, VT_I4);
    ASSERT_GE(result.lVal, 0);
    ASSERT_EQ(text.vt, VT_BSTR) << "the out text lands in the caller's variable";
    EXPECT_EQ(static_cast<long>(::SysStringLen(text.bstrVal)), result.lVal);
    received += Str(text.bstrVal);
    if (result.lVal == 0) ::Sleep(1);  // nothing queued yet
  }
  EXPECT_EQ(received, sent);
  EXPECT_EQ(port.vt, VT_I2) << "written back as the member's type";
  EXPECT_EQ(port.iVal, 1);
  EXPECT_EQ(size.iVal, 64);
  ::VariantClear(&text);

  // A plain value where a reference is declared goes into a temporary.
  VARIANT line;
  ::VariantInit(&line);
  line.vt = VT_BSTR;
  line.bstrVal = ::SysAllocString(L"unchanged");
  ::VariantClear(&result);
  EXPECT_HRESULT_SUCCEEDED(Call(0x6003001C, {line}, &result));
  EXPECT_EQ(result.lVal, 0) << "nothing has failed";
  EXPECT_EQ(Str(line.bstrVal), L"unchanged") << "the line went into the temporary";
  ::VariantClear(&line);
}

TEST_F(Dispatch, ClassInformationNamesTheEventInterface) {
  auto info = control.As<IProvideClassInfo2>(IID_IProvideClassInfo2);
  ASSERT_TRUE(info);
  GUID events = GUID_NULL;
  EXPECT_HRESULT_SUCCEEDED(info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &events));
  EXPECT_TRUE(::IsEqualGUID(events, DIID___SerialControl));
  Ptr<ITypeInfo> cls;
  ASSERT_HRESULT_SUCCEEDED(info->GetClassInfo(cls.put()));
  TYPEATTR* attr = nullptr;
  ASSERT_HRESULT_SUCCEEDED(cls->GetTypeAttr(&attr));
  EXPECT_TRUE(::IsEqualGUID(attr->guid, CLSID_SerialControl));
  cls->ReleaseTypeAttr(attr);
  auto errors = control.As<ISupportErrorInfo>(IID_ISupportErrorInfo);
  ASSERT_TRUE(errors);
  EXPECT_EQ(errors->InterfaceSupportsErrorInfo(IID__SerialControl), S_OK);
}

// A stand-in whose every member answers one status, to see what a host
// receives when a member fails inside or writes an out value; CommGetLine and
// CommRead write what the test sets and count their calls.
class StandInMembers final : public _SerialControl {
 public:
  explicit StandInMembers(HRESULT status) : s_(status) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Open_Com() override { return s_; }
  HRESULT STDMETHODCALLTYPE Close_Com() override { return s_; }
  HRESULT STDMETHODCALLTYPE Read_Com() override { return s_; }
  HRESULT STDMETHODCALLTYPE Write_Com(BSTR) override { return s_; }
  HRESULT STDMETHODCALLTYPE get_Port(short*) override { return s_; }
  HRESULT STDMETHODCALLTYPE put_Port(short) override { return s_; }
  HRESULT STDMETHODCALLTYPE get_Baud(LONG*) override { return s_; }
  HRESULT STDMETHODCALLTYPE put_Baud(LONG) override { return s_; }
  HRESULT STDMETHODCALLTYPE get_Status(VARIANT_BOOL*) override { return s_; }
  HRESULT STDMETHODCALLTYPE put_Status(VARIANT_BOOL) override { return s_; }
  HRESULT STDMETHODCALLTYPE Clear_Com() override { return s_; }
  HRESULT STDMETHODCALLTYPE get_Buffer(BSTR*) override { return s_; }
  HRESULT STDMETHODCALLTYPE put_Buffer(BSTR) override { return s_; }
  HRESULT STDMETHODCALLTYPE get_Company(BSTR*) override { return s_; }
  HRESULT STDMETHODCALLTYPE ControlOn() override { return s_; }
  HRESULT STDMETHODCALLTYPE ControlOff() override { return s_; }
  HRESULT STDMETHODCALLTYPE waitnow(LONG*) override { return s_; }
  HRESULT STDMETHODCALLTYPE GetSystemMessage(LONG*, BSTR*) override { return s_; }
  HRESULT STDMETHODCALLTYPE CommOpen(short*, BSTR*, BSTR*, LONG*) override { return s_; }
  HRESULT STDMETHODCALLTYPE CommSet(short*, BSTR*, LONG*) override { return s_; }
  HRESULT STDMETHODCALLTYPE CommClose(short*, LONG*) override { return s_; }
  HRESULT STDMETHODCALLTYPE CommFlush(short*, LONG*) override { return s_; }
  HRESULT STDMETHODCALLTYPE CommRead(short*, BSTR* strData, LONG* lngSize, LONG*) override {
    ++calls;
    ::SysFreeString(*strData);
    *strData = ::SysAllocString(L"abc");
    // A string whose length field claims more bytes than a string can hold:
    // a copy of it fails as one out of memory does.
    if (uncopyable) reinterpret_cast<UINT*>(*strData)[-1] = 0xFFFFFFFFu;
    *lngSize = 300;
    return s_;
  }
  HRESULT STDMETHODCALLTYPE CommWrite(short*, BSTR*, LONG*) override { return s_; }
  HRESULT STDMETHODCALLTYPE CommGetLine(short*, short*, VARIANT_BOOL* blnState, LONG*) override {
    ++calls;
    *blnState = state;
    return s_;
  }
  HRESULT STDMETHODCALLTYPE CommSetLine(short*, short*, VARIANT_BOOL*, LONG*) override { return s_; }
  HRESULT STDMETHODCALLTYPE CommGetError(BSTR*, LONG*) override { return s_; }
  HRESULT STDMETHODCALLTYPE settingeval(LONG*, BSTR*) override { return s_; }
  HRESULT STDMETHODCALLTYPE looprocess() override { return s_; }
  HRESULT STDMETHODCALLTYPE close_Com_norm() override { return s_; }
  HRESULT STDMETHODCALLTYPE get_Version(BSTR*) override { return s_; }

  int calls = 0;
  VARIANT_BOOL state = VARIANT_FALSE;
  bool uncopyable = false;

 private:
  HRESULT s_;
};

TEST_F(Dispatch, AMemberThatFailsReachesTheHostAsAnException) {
  Ptr<ITypeInfo> vtable = VtableView(control.get());
  const struct {
    HRESULT status;
    const wchar_t* description;
  } cases[] = {{static_cast<HRESULT>(0x800A0006), L"Overflow"},
               {static_cast<HRESULT>(0x800A000D), L"Type mismatch"},
               {static_cast<HRESULT>(0x800A0007), L"Out of memory"},
               {static_cast<HRESULT>(0x80070005), L"Access denied."},
               {static_cast<HRESULT>(0x8004ABCD), L"Unexpected failure"}};
  for (const auto& c : cases) {
    StandInMembers failing(c.status);
    VARIANT result;
    ::VariantInit(&result);
    EXCEPINFO info{};
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    EXPECT_EQ(com::InvokeMember(vtable.get(), static_cast<_SerialControl*>(&failing), 0x68030005,
                                DISPATCH_PROPERTYGET, &none, &result, &info, nullptr,
                                control_object::kFailureSource),
              DISP_E_EXCEPTION);
    EXPECT_EQ(info.scode, c.status);
    EXPECT_EQ(Str(info.bstrSource), L"Vemblaric");
    EXPECT_EQ(Str(info.bstrDescription), c.description);
    EXPECT_EQ(result.vt, VT_EMPTY);
    ::SysFreeString(info.bstrSource);
    ::SysFreeString(info.bstrDescription);
    ::SysFreeString(info.bstrHelpFile);
  }
}

// A variable of another type than the member declares gets the out value in
// its own type; one that cannot hold it keeps its value and fails the call as
// the conversion does, naming the argument; one that could never take a value
// back is refused before the member runs; a plain value keeps nothing. A
// script's variable (a VARIANT by reference) gets the value as the member's
// type, or keeps its own when no copy can be made.
TEST_F(Dispatch, VariablesOfAnotherTypeReceiveTheOutValueInTheirOwnType) {
  Ptr<ITypeInfo> vtable = VtableView(control.get());
  constexpr DISPID kGetLine = 0x6003001A, kRead = 0x60030018;  // as StandInMembers writes them
  const struct {
    DISPID member;
    UINT place;  // in the caller's array, last argument first
    VARTYPE vt;
    const wchar_t* before;  // nullptr: an empty object variable
    VARIANT_BOOL state;     // what CommGetLine writes
    HRESULT hr;
    const wchar_t* after;
    int calls;
    bool uncopyable;  // what CommRead writes cannot be copied
  } cases[] = {
      {kGetLine, 0, VT_BYREF | VT_I2, L"0", VARIANT_TRUE, S_OK, L"-1", 1},
      {kGetLine, 0, VT_BYREF | VT_I4, L"-1", VARIANT_FALSE, S_OK, L"0", 1},
      {kGetLine, 0, VT_BYREF | VT_R8, L"0", VARIANT_TRUE, S_OK, L"-1", 1},
      {kRead, 0, VT_BYREF | VT_BSTR, L"64", 0, S_OK, L"300", 1},
      {kRead, 0, VT_BYREF | VT_DECIMAL, L"64", 0, S_OK, L"300", 1},
      {kRead, 0, VT_BYREF | VT_UI1, L"64", 0, DISP_E_OVERFLOW, L"64", 1},
      {kRead, 1, VT_BYREF | VT_I4, L"7", 0, DISP_E_TYPEMISMATCH, L"7", 1},
      {kGetLine, 0, VT_BYREF | VT_DISPATCH, nullptr, 0, DISP_E_TYPEMISMATCH, nullptr, 0},
      {kGetLine, 0, VT_I2, L"0", VARIANT_TRUE, S_OK, L"0", 1},
      {kRead, 1, VT_BYREF | VT_VARIANT, L"7", 0, S_OK, L"abc", 1},
      {kRead, 1, VT_BYREF | VT_VARIANT, L"7", 0, E_OUTOFMEMORY, L"7", 1, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "vt " << c.vt << " as argument " << c.place);
    StandInMembers member(S_OK);
    member.state = c.state;
    member.uncopyable = c.uncopyable;
    const VARTYPE type = static_cast<VARTYPE>(c.vt & ~VT_BYREF);
    const bool script = type == VT_VARIANT;  // the variable holds the text itself
    VARIANT variable{}, shown{}, result{};
    if (c.before) {
      shown.vt = VT_BSTR, shown.bstrVal = ::SysAllocString(c.before);
      ASSERT_HRESULT_SUCCEEDED(::VariantChangeType(&variable, &shown, 0, script ? VT_BSTR : type));
      ::VariantClear(&shown);
    }
    if (!script) variable.vt = type;
    VARIANT args[3] = {};  // the others empty, which every type takes
    args[c.place] = variable;
    if (c.vt & VT_BYREF) {
      args[c.place].vt = c.vt;  // a decimal or variant fills the variant; other values start here
      args[c.place].byref = type == VT_DECIMAL || script ? static_cast<void*>(&variable)
                                                         : &variable.iVal;
    }
    DISPPARAMS params = {args, nullptr, 3, 0};
    UINT argErr = 99;
    EXPECT_EQ(com::InvokeMember(vtable.get(), static_cast<_SerialControl*>(&member), c.member,
                                DISPATCH_METHOD, &params, &result, nullptr, &argErr,
                                control_object::kFailureSource),
              c.hr);
    EXPECT_EQ(argErr, FAILED(c.hr) ? c.place : 99u);
    EXPECT_EQ(member.calls, c.calls);
    if (c.after) {
      ASSERT_HRESULT_SUCCEEDED(::VariantChangeType(&shown, &variable, 0, VT_BSTR));
      EXPECT_EQ(Str(shown.bstrVal), c.after);
    }
    ::VariantClear(&shown), ::VariantClear(&variable), ::VariantClear(&result);
  }
}

// On the bench: an Integer argument to Write_Com goes out as its text.
TEST_F(Dispatch, WriteComWithAnIntegerSendsItsText) {
  testing::RealPort peer;
  ASSERT_EQ(peer.Open(2), 0);
  ASSERT_EQ(testing::OpenThroughPrimitive(control.get(), 1), 0);
  EXPECT_HRESULT_SUCCEEDED(Call(0x60030009, {I2Value(5)}));
  EXPECT_EQ(peer.ReadExactly(2, 1, 5000), L"5");
  VARIANT_BOOL status = 0;
  control->get_Status(&status);
  EXPECT_EQ(status, VARIANT_TRUE);
}

}  // namespace
}  // namespace vemblaric
