// ResourceTests.cpp -- the registration scripts as files and resources, the version resource, the string table and the type library.
#include "ModuleTestSupport.h"

#include <oleauto.h>

#include <vector>

using namespace kvtest;

namespace {

std::string ScriptFile(const char* name) { return ReadWholeFile(ComponentSourceDir() + "/" + name); }

// Checks the layout the scripts are kept in: 8-bit text, CR LF line ends, no NUL, a root key on
// the first line, and every level enclosed by its own "{" and "}" lines and indented by one tab
// more than the line that opens it. Returns what is wrong, or "" when nothing is.
std::string LayoutProblem(const std::string& text) {
    if (text.empty()) return "empty";
    if (text.find('\0') != std::string::npos) return "contains NUL";
    if (text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0) return "last line has no CR LF";
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        std::string line = text.substr(start, end - start);
        if (line.find('\r') != std::string::npos || line.find('\n') != std::string::npos)
            return "a bare CR or LF in line " + std::to_string(lines.size() + 1);
        lines.push_back(line);
        start = end + 2;
    }
    size_t depth = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        size_t tabs = line.find_first_not_of('\t');
        if (tabs == std::string::npos) return "blank line " + std::to_string(i + 1);
        std::string content = line.substr(tabs);
        if (content[0] == ' ' || content.back() == ' ' || content.back() == '\t')
            return "stray blanks in line " + std::to_string(i + 1);
        if (content == "}") {
            if (depth == 0) return "unbalanced } in line " + std::to_string(i + 1);
            --depth;
        }
        if (tabs != depth) return "line " + std::to_string(i + 1) + " is indented by " + std::to_string(tabs) + " tabs, not " + std::to_string(depth);
        if (content == "{") {
            if (i == 0 || lines[i - 1].find_first_not_of('\t') != tabs || lines[i - 1].substr(tabs) == "{" ||
                lines[i - 1].substr(tabs) == "}")
                return "line " + std::to_string(i + 1) + " opens a level without its own line before it";
            ++depth;
        }
    }
    if (depth != 0) return "unclosed level";
    if (lines[0] != "HKCR") return "first line is not the root key";
    return "";
}

}  // namespace

// The scripts are kept byte-exact: sizes, CR LF, tabs, no NUL.
TEST(Scripts, FilesKeepTheirExactLayout) {
    std::string appId = ScriptFile("KVEvLsnAppId.rgs");
    std::string listener = ScriptFile("KVEvLsnListener.rgs");
    EXPECT_EQ(131u, appId.size());
    EXPECT_EQ(650u, listener.size());
    EXPECT_EQ("", LayoutProblem(appId));
    EXPECT_EQ("", LayoutProblem(listener));
    EXPECT_NE(std::string::npos, appId.find("\t\t'%APPID%' = s 'EventListener'\r\n"));
    EXPECT_NE(std::string::npos, listener.find("\t\t\tInprocServer32 = s '%MODULE%'\r\n\t\t\t{\r\n\t\t\t\tval ThreadingModel = s 'Free'\r\n"));
    // The checker itself: it must see a wrong indentation and an LF line end.
    EXPECT_NE("", LayoutProblem("HKCR\r\n{\r\n  Key\r\n}\r\n"));
    EXPECT_NE("", LayoutProblem("HKCR\n{\n}\n"));
}

#ifdef _WIN32

namespace {

std::string ResourceBytes(HMODULE module, const char* type, UINT id) {
    HRSRC info = FindResourceExA(module, type, MAKEINTRESOURCEA(id), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    if (!info) return "<missing>";
    HGLOBAL loaded = LoadResource(module, info);
    const char* data = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    return data ? std::string(data, SizeofResource(module, info)) : "<unreadable>";
}

std::string VersionString(const std::vector<char>& block, const char* name) {
    char* value = nullptr;
    UINT length = 0;
    std::string query = std::string("\\StringFileInfo\\040904B0\\") + name;
    if (!VerQueryValueA(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &length) || !value) return "<missing>";
    return std::string(value);
}

std::string DocString(ITypeInfo* info, MEMBERID id) {
    BSTR doc = nullptr;
    if (FAILED(info->GetDocumentation(id, nullptr, &doc, nullptr, nullptr))) return "<none>";
    std::string text;
    for (UINT i = 0; doc && i < SysStringLen(doc); ++i) text += static_cast<char>(doc[i]);
    SysFreeString(doc);
    return text;
}

}  // namespace

// The DLL carries the scripts as "REGISTRY" resources 101 and 102 (US English), byte for byte.
TEST(Resources, RegistryScriptsAreTheFiles) {
    HMODULE module = SharedModule().module();
    ASSERT_NE(nullptr, module);
    EXPECT_EQ(ScriptFile("KVEvLsnAppId.rgs"), ResourceBytes(module, "REGISTRY", 101));
    EXPECT_EQ(ScriptFile("KVEvLsnListener.rgs"), ResourceBytes(module, "REGISTRY", 102));
    EXPECT_NE("<missing>", ResourceBytes(module, "TYPELIB", 1));
    char name[64] = {};
    EXPECT_EQ(13, LoadStringA(module, 100, name, sizeof(name)));
    EXPECT_STREQ("EventListener", name);
}

// The version resource: 2.3.0.19, a DLL for 32-bit Windows NT, and its US English strings.
TEST(Resources, VersionInformation) {
    std::string path = SharedModule().FileName();
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<char> block(size);
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, block.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(MAKELONG(3, 2), fixed->dwFileVersionMS);
    EXPECT_EQ(MAKELONG(19, 0), fixed->dwFileVersionLS);
    EXPECT_EQ(fixed->dwFileVersionMS, fixed->dwProductVersionMS);
    EXPECT_EQ(fixed->dwFileVersionLS, fixed->dwProductVersionLS);
    EXPECT_EQ(static_cast<DWORD>(VFT_DLL), fixed->dwFileType);
    EXPECT_EQ(static_cast<DWORD>(VOS_NT_WINDOWS32), fixed->dwFileOS);
    EXPECT_EQ(0u, fixed->dwFileFlags);

    EXPECT_EQ("2.3.0.19", VersionString(block, "FileVersion"));
    EXPECT_EQ("2.3.0.19", VersionString(block, "ProductVersion"));
    EXPECT_EQ("KVEvLsn.dll", VersionString(block, "OriginalFilename"));
    std::string built = VersionString(block, "Build Date");
    // "YYYY-MM-DD HH:MM:SS"
    ASSERT_EQ(19u, built.size()) << built;
    EXPECT_EQ('-', built[4]);
    EXPECT_EQ(' ', built[10]);
    EXPECT_EQ(':', built[13]);
    EXPECT_NE("<missing>", VersionString(block, "CompanyName"));
    EXPECT_NE("<missing>", VersionString(block, "ProductName"));
    EXPECT_NE("<missing>", VersionString(block, "FileDescription"));

    WORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length));
    ASSERT_GE(length, 4u);
    EXPECT_EQ(0x0409, translation[0]);
    EXPECT_EQ(0x04B0, translation[1]);
}

// The embedded type library describes EventListenerLib, the dual IEventListener and Listener.
TEST(TypeLibrary, DescribesTheComponent) {
    std::string path = SharedModule().FileName();
    std::wstring widePath(path.begin(), path.end());
    ITypeLib* library = nullptr;
    ASSERT_EQ(S_OK, LoadTypeLibEx(widePath.c_str(), REGKIND_NONE, &library));

    TLIBATTR* libAttr = nullptr;
    ASSERT_EQ(S_OK, library->GetLibAttr(&libAttr));
    EXPECT_TRUE(IsEqualGUID(LIBID_EventListenerLib, libAttr->guid));
    EXPECT_EQ(1, libAttr->wMajorVerNum);
    EXPECT_EQ(0, libAttr->wMinorVerNum);
    EXPECT_EQ(0u, libAttr->lcid);
    EXPECT_EQ(SYS_WIN32, libAttr->syskind);
    // No flags of its own; the runtime adds only that the library was loaded from a file.
    EXPECT_EQ(0, libAttr->wLibFlags & ~LIBFLAG_FHASDISKIMAGE);
    library->ReleaseTLibAttr(libAttr);
    BSTR libDoc = nullptr;
    ASSERT_EQ(S_OK, library->GetDocumentation(-1, nullptr, &libDoc, nullptr, nullptr));
    EXPECT_STREQ(L"EventListener 1.0 Type Library", libDoc);
    SysFreeString(libDoc);

    ITypeInfo* dispatchInfo = nullptr;
    ASSERT_EQ(S_OK, library->GetTypeInfoOfGuid(IID_IEventListener, &dispatchInfo));
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(S_OK, dispatchInfo->GetTypeAttr(&attr));
    EXPECT_EQ(TKIND_DISPATCH, attr->typekind);
    const WORD dispatchFlags = TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FDISPATCHABLE;
    EXPECT_EQ(dispatchFlags, attr->wTypeFlags & dispatchFlags);
    dispatchInfo->ReleaseTypeAttr(attr);
    EXPECT_EQ("IEventListener Interface", DocString(dispatchInfo, MEMBERID_NIL));

    // The vtable half of the dual interface: IDispatch's 7 slots, then Start and Stop.
    HREFTYPE vtableRef = 0;
    ITypeInfo* vtableInfo = nullptr;
    ASSERT_EQ(S_OK, dispatchInfo->GetRefTypeOfImplType(static_cast<UINT>(-1), &vtableRef));
    ASSERT_EQ(S_OK, dispatchInfo->GetRefTypeInfo(vtableRef, &vtableInfo));
    ASSERT_EQ(S_OK, vtableInfo->GetTypeAttr(&attr));
    EXPECT_EQ(TKIND_INTERFACE, attr->typekind);
    const WORD vtableFlags = TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FOLEAUTOMATION;
    EXPECT_EQ(vtableFlags, attr->wTypeFlags & vtableFlags);
    EXPECT_EQ(9 * sizeof(void*), attr->cbSizeVft);
    EXPECT_EQ(2, attr->cFuncs);
    vtableInfo->ReleaseTypeAttr(attr);

    struct Expected {
        const wchar_t* name;
        MEMBERID id;
        short params;
        const char* doc;
    } const methods[] = {{L"Start", 1, 1, "method Start"}, {L"Stop", 2, 0, "method Stop"}};
    for (UINT i = 0; i < 2; ++i) {
        FUNCDESC* func = nullptr;
        ASSERT_EQ(S_OK, vtableInfo->GetFuncDesc(i, &func));
        EXPECT_EQ(methods[i].id, func->memid);
        EXPECT_EQ(methods[i].params, func->cParams);
        EXPECT_EQ((7 + i) * sizeof(void*), static_cast<size_t>(func->oVft));
        EXPECT_EQ(VT_HRESULT, func->elemdescFunc.tdesc.vt);
        if (func->cParams == 1) {
            // listenInfo: BSTR*, out only -- not the return value.
            EXPECT_EQ(VT_PTR, func->lprgelemdescParam[0].tdesc.vt);
            EXPECT_EQ(VT_BSTR, func->lprgelemdescParam[0].tdesc.lptdesc->vt);
            USHORT flags = func->lprgelemdescParam[0].paramdesc.wParamFlags;
            EXPECT_TRUE(flags & PARAMFLAG_FOUT);
            EXPECT_FALSE(flags & PARAMFLAG_FRETVAL);
            EXPECT_FALSE(flags & PARAMFLAG_FIN);
        }
        BSTR name = nullptr;
        ASSERT_EQ(S_OK, vtableInfo->GetDocumentation(func->memid, &name, nullptr, nullptr, nullptr));
        EXPECT_STREQ(methods[i].name, name);
        SysFreeString(name);
        EXPECT_EQ(methods[i].doc, DocString(vtableInfo, func->memid));
        vtableInfo->ReleaseFuncDesc(func);
    }

    // IDispatch, the base, comes from the imported OLE automation library.
    HREFTYPE baseRef = 0;
    ITypeInfo* baseInfo = nullptr;
    ASSERT_EQ(S_OK, vtableInfo->GetRefTypeOfImplType(0, &baseRef));
    ASSERT_EQ(S_OK, vtableInfo->GetRefTypeInfo(baseRef, &baseInfo));
    ASSERT_EQ(S_OK, baseInfo->GetTypeAttr(&attr));
    EXPECT_TRUE(IsEqualGUID(IID_IDispatch, attr->guid));
    baseInfo->ReleaseTypeAttr(attr);
    baseInfo->Release();
    vtableInfo->Release();
    dispatchInfo->Release();

    ITypeInfo* coclass = nullptr;
    ASSERT_EQ(S_OK, library->GetTypeInfoOfGuid(CLSID_Listener, &coclass));
    ASSERT_EQ(S_OK, coclass->GetTypeAttr(&attr));
    EXPECT_EQ(TKIND_COCLASS, attr->typekind);
    EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FCANCREATE);
    EXPECT_EQ(1, attr->cImplTypes);
    coclass->ReleaseTypeAttr(attr);
    EXPECT_EQ("Listener Class", DocString(coclass, MEMBERID_NIL));
    INT implFlags = 0;
    EXPECT_EQ(S_OK, coclass->GetImplTypeFlags(0, &implFlags));
    EXPECT_TRUE(implFlags & IMPLTYPEFLAG_FDEFAULT);
    HREFTYPE implRef = 0;
    ITypeInfo* impl = nullptr;
    ASSERT_EQ(S_OK, coclass->GetRefTypeOfImplType(0, &implRef));
    ASSERT_EQ(S_OK, coclass->GetRefTypeInfo(implRef, &impl));
    ASSERT_EQ(S_OK, impl->GetTypeAttr(&attr));
    EXPECT_TRUE(IsEqualGUID(IID_IEventListener, attr->guid));
    impl->ReleaseTypeAttr(attr);
    impl->Release();
    coclass->Release();
    library->Release();
}

#endif
