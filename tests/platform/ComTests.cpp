// ComTests.cpp -- COM basics: BSTR layout, GUID text, apartments, task memory.
#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <cstring>
#include <string>

namespace {

std::wstring Text(const OLECHAR* text) { return std::wstring(text, text + lstrlenW(text)); }

// The byte length stored in front of a BSTR, read as Windows lays it out.
UINT StoredByteLength(BSTR text) {
    UINT length;
    memcpy(&length, reinterpret_cast<const char*>(text) - 4, sizeof(length));
    return length;
}

DWORD WINAPI ApartmentSequence(LPVOID parameter) {
    HRESULT* results = static_cast<HRESULT*>(parameter);
    results[0] = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    results[1] = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    results[2] = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    CoUninitialize();
    CoUninitialize();
    // Fully uninitialized: another model is welcome now.
    results[3] = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    results[4] = CoInitialize(nullptr);
    CoUninitialize();
    CoUninitialize();
    return 0;
}

}  // namespace

// A BSTR carries its length in bytes in the 4 bytes before it and a terminator after it.
TEST(ComBstr, LengthPrefixAndTerminator) {
    const OLECHAR source[] = {'a', 'b', 'c', 0};
    BSTR text = SysAllocString(source);
    ASSERT_NE(nullptr, text);
    EXPECT_EQ(3u, SysStringLen(text));
    EXPECT_EQ(3u * sizeof(OLECHAR), SysStringByteLen(text));
    EXPECT_EQ(3u * sizeof(OLECHAR), StoredByteLength(text));
    EXPECT_EQ(0u, static_cast<unsigned>(text[3]));
    EXPECT_EQ(Text(source), Text(text));
    SysFreeString(text);

    BSTR blank = SysAllocStringLen(nullptr, 5);
    ASSERT_NE(nullptr, blank);
    EXPECT_EQ(5u, SysStringLen(blank));
    EXPECT_EQ(0u, static_cast<unsigned>(blank[5]));
    SysFreeString(blank);

    BSTR withNul = SysAllocStringLen(source, 4);  // the terminator counts as a character here
    EXPECT_EQ(4u, SysStringLen(withNul));
    SysFreeString(withNul);
}

// SysAllocStringByteLen keeps exact bytes, even an odd count, and terminates after them.
TEST(ComBstr, ByteLengthStrings) {
    BSTR bytes = SysAllocStringByteLen("xyz", 3);
    ASSERT_NE(nullptr, bytes);
    EXPECT_EQ(3u, SysStringByteLen(bytes));
    EXPECT_EQ(3u, StoredByteLength(bytes));
    EXPECT_EQ(0, memcmp(bytes, "xyz", 3));
    EXPECT_EQ(0, reinterpret_cast<const char*>(bytes)[3]);
    SysFreeString(bytes);
}

// Null BSTRs are empty and freeing one is harmless; reallocation resizes and may copy from
// the string itself.
TEST(ComBstr, NullAndReallocation) {
    EXPECT_EQ(0u, SysStringLen(nullptr));
    EXPECT_EQ(0u, SysStringByteLen(nullptr));
    SysFreeString(nullptr);
    EXPECT_EQ(nullptr, SysAllocString(nullptr));

    const OLECHAR source[] = {'h', 'e', 'l', 'l', 'o', 0};
    BSTR text = SysAllocString(source);
    ASSERT_TRUE(SysReAllocStringLen(&text, text + 1, 3));  // from its own characters
    EXPECT_EQ(3u, SysStringLen(text));
    EXPECT_EQ(std::wstring(L"ell"), Text(text));
    ASSERT_TRUE(SysReAllocStringLen(&text, source, 5));
    EXPECT_EQ(std::wstring(L"hello"), Text(text));
    EXPECT_EQ(5u * sizeof(OLECHAR), StoredByteLength(text));
    SysFreeString(text);
}

// GUID text: braces, upper-case hex, 8-4-4-4-12; 39 units with the terminator, 0 if less room.
TEST(ComGuid, StringFromGuidFormat) {
    OLECHAR text[40];
    ASSERT_EQ(39, StringFromGUID2(IID_IDispatch, text, 40));
    EXPECT_EQ(std::wstring(L"{00020400-0000-0000-C000-000000000046}"), Text(text));
    EXPECT_EQ(39, StringFromGUID2(IID_IUnknown, text, 39));
    EXPECT_EQ(std::wstring(L"{00000000-0000-0000-C000-000000000046}"), Text(text));
    EXPECT_EQ(0, StringFromGUID2(IID_IClassFactory, text, 38));
}

// Text parses back into the same GUID, in either case; malformed text is refused.
TEST(ComGuid, ParsingGuidText) {
    GUID created;
    ASSERT_EQ(S_OK, CoCreateGuid(&created));
    OLECHAR text[39];
    ASSERT_EQ(39, StringFromGUID2(created, text, 39));
    CLSID parsed = {};
    EXPECT_EQ(S_OK, CLSIDFromString(text, &parsed));
    EXPECT_TRUE(IsEqualGUID(created, parsed));
    IID iid = {};
    EXPECT_EQ(S_OK, IIDFromString(text, &iid));
    EXPECT_TRUE(IsEqualGUID(created, iid));

    OLECHAR lower[] = L"{00000001-0000-0000-c000-000000000046}";
    EXPECT_EQ(S_OK, CLSIDFromString(lower, &parsed));
    EXPECT_TRUE(IsEqualGUID(IID_IClassFactory, parsed));

    OLECHAR garbage[] = L"{00000001-0000-0000-c000-00000000004G}";
    EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromString(garbage, &parsed));
    EXPECT_EQ(CO_E_IIDSTRING, IIDFromString(garbage, &iid));
    OLECHAR shortText[] = L"{00000001-0000}";
    EXPECT_EQ(E_INVALIDARG, IIDFromString(shortText, &iid));
}

// CoCreateGuid gives random (version 4, RFC 4122 variant) GUIDs that differ.
TEST(ComGuid, CreatedGuidsAreRandomVersion4) {
    GUID first;
    GUID second;
    ASSERT_EQ(S_OK, CoCreateGuid(&first));
    ASSERT_EQ(S_OK, CoCreateGuid(&second));
    EXPECT_FALSE(IsEqualGUID(first, second));
    EXPECT_EQ(0x4000, first.Data3 & 0xF000);
    EXPECT_EQ(0x80, first.Data4[0] & 0xC0);
}

// A thread's apartment: S_OK first, S_FALSE for the same model again, RPC_E_CHANGED_MODE for
// another, and free again after as many CoUninitialize as successful calls.
TEST(ComApartment, InitializeCountsPerThread) {
    HRESULT results[5] = {E_FAIL, E_FAIL, E_FAIL, E_FAIL, E_FAIL};
    HANDLE thread = CreateThread(nullptr, 0, ApartmentSequence, results, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 30000));
    CloseHandle(thread);
    EXPECT_EQ(S_OK, results[0]);
    EXPECT_EQ(S_FALSE, results[1]);
    EXPECT_EQ(RPC_E_CHANGED_MODE, results[2]);
    EXPECT_EQ(S_OK, results[3]);
    EXPECT_EQ(S_FALSE, results[4]);
}

// Task memory is usable memory and may be freed, also as null.
TEST(ComMemory, TaskMemoryAllocatesAndFrees) {
    char* block = static_cast<char*>(CoTaskMemAlloc(64));
    ASSERT_NE(nullptr, block);
    memset(block, 'x', 64);
    block = static_cast<char*>(CoTaskMemRealloc(block, 128));
    ASSERT_NE(nullptr, block);
    EXPECT_EQ('x', block[63]);
    CoTaskMemFree(block);
    CoTaskMemFree(nullptr);
}
