// CPWStringBufferTests.cpp -- the wide string buffer: capacities, the offset header, the moves of each operation, both storage variants.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CPWStringBuffer.h"
#include "LogTestSupport.h"

namespace {

using WString = std::basic_string<WCHAR>;

WString Letters(size_t count) {
    WString text;
    for (size_t i = 0; i < count; ++i) text += WCHAR(L'A' + i % 26);
    return text;
}

template <class Buffer>
class StringBufferTest : public testing::Test {
protected:
    WString Text() { return mBuffer.GetText() ? WString(mBuffer.GetText()) : WString(); }
    Buffer mBuffer;
};

using Variants = testing::Types<CPWStringBuffer, CPWHeapStringBuffer>;
TYPED_TEST_SUITE(StringBufferTest, Variants);

}  // namespace

TYPED_TEST(StringBufferTest, CapacityFollowsTable) {
    // Growth doubles small sizes (at least 32) and adds a little under 512 to large ones,
    // the slack split evenly around the empty text.
    const UINT sizes[] = {0, 10, 16, 17, 100, 255, 256, 300, 1000, 10000, 100000};
    const UINT capacities[] = {32, 32, 32, 34, 200, 510, 512, 576, 1407, 10499, 100510};
    for (size_t i = 0; i < sizeof(sizes) / sizeof(sizes[0]); ++i) {
        SCOPED_TRACE(sizes[i]);
        ASSERT_NE(nullptr, this->mBuffer.Allocate(sizes[i], true));
        EXPECT_EQ(capacities[i], this->mBuffer.GetCapacity());
        EXPECT_EQ((capacities[i] - sizes[i]) / 2, this->mBuffer.GetOffset());
        EXPECT_EQ(0u, this->mBuffer.GetLength());
    }
    ASSERT_NE(nullptr, this->mBuffer.Allocate(7, false));
    EXPECT_EQ(7u, this->mBuffer.GetCapacity());
    for (UINT tiny : {0u, 1u, 2u}) {
        ASSERT_NE(nullptr, this->mBuffer.Allocate(tiny, false));
        EXPECT_EQ(0u, this->mBuffer.GetOffset());
        EXPECT_EQ(0u, this->mBuffer.GetLength());
    }
}

TYPED_TEST(StringBufferTest, OffsetHeaderRecordsTextStart) {
    // A centred text leaves NUL and its offset in the first two characters of the storage.
    this->mBuffer.Assign(L"0123456789", true);
    EXPECT_EQ(32u, this->mBuffer.GetCapacity());
    EXPECT_EQ(11u, this->mBuffer.GetOffset());
    const WCHAR* storage = this->mBuffer.GetBuffer();
    EXPECT_EQ(0, storage[0]);
    EXPECT_EQ(11, storage[1]);
    EXPECT_EQ(storage + 11, this->mBuffer.GetText());
    EXPECT_EQ(L"0123456789", this->Text());
    this->mBuffer.Assign(Letters(300).c_str(), true);
    EXPECT_EQ(576u, this->mBuffer.GetCapacity());
    EXPECT_EQ(138u, this->mBuffer.GetOffset());
    this->mBuffer.Assign(L"left", false);
    EXPECT_EQ(0u, this->mBuffer.GetOffset());
    EXPECT_EQ(L"left", WString(this->mBuffer.GetBuffer()));
}

TYPED_TEST(StringBufferTest, SetOffsetStoresOnlyValidOffsets) {
    // 1 is never stored, values clamp to 65535 and to the storage, and text never moves.
    this->mBuffer.Assign(L"abc", true);
    EXPECT_EQ(0, this->mBuffer.SetOffset(1));
    EXPECT_EQ(0u, this->mBuffer.GetOffset());
    this->mBuffer.SetOffset(1000);
    EXPECT_EQ(this->mBuffer.GetCapacity(), this->mBuffer.GetOffset());
    EXPECT_EQ(0u, this->mBuffer.GetLength());
    ASSERT_NE(nullptr, this->mBuffer.Allocate(140000, false));
    this->mBuffer.SetOffset(100000);
    EXPECT_EQ(65535u, this->mBuffer.GetOffset());
}

TYPED_TEST(StringBufferTest, ClearingKeepsAThirdInFront) {
    // Clearing puts an empty text at a third of the storage; clearing an empty text does nothing.
    this->mBuffer.Assign(Letters(300).c_str(), true);
    EXPECT_TRUE(this->mBuffer.Erase(0, -1));
    EXPECT_EQ(192u, this->mBuffer.GetOffset());
    EXPECT_EQ(0u, this->mBuffer.GetLength());
    EXPECT_FALSE(this->mBuffer.Erase(0, -1));
    EXPECT_EQ(192u, this->mBuffer.GetOffset());
    this->mBuffer.Assign(L"again", true);
    this->mBuffer.Assign(nullptr, true);
    EXPECT_EQ(0u, this->mBuffer.GetLength());
    EXPECT_EQ(192u, this->mBuffer.GetOffset());
}

TYPED_TEST(StringBufferTest, EraseMovesTheShorterSide) {
    // A prefix joins the front gap; otherwise the shorter side of the erased range moves.
    this->mBuffer.Assign(L"ABCDEFGHIJ", true);
    WCHAR* text = this->mBuffer.GetText();
    EXPECT_TRUE(this->mBuffer.Erase(0, 4));
    EXPECT_EQ(text + 5, this->mBuffer.GetText());
    EXPECT_EQ(16u, this->mBuffer.GetOffset());
    EXPECT_EQ(L"FGHIJ", this->Text());

    this->mBuffer.Assign(L"ABCDEFGHIJ", true);
    EXPECT_TRUE(this->mBuffer.Erase(1, 2));  // "A" moves up two places
    EXPECT_EQ(13u, this->mBuffer.GetOffset());
    EXPECT_EQ(L"ADEFGHIJ", this->Text());
    EXPECT_TRUE(this->mBuffer.Erase(5, 6));  // "J" moves down two places
    EXPECT_EQ(13u, this->mBuffer.GetOffset());
    EXPECT_EQ(L"ADEFGJ", this->Text());
    EXPECT_TRUE(this->mBuffer.Erase(3, -1));
    EXPECT_EQ(L"ADE", this->Text());

    EXPECT_FALSE(this->mBuffer.Erase(3, 3));
    EXPECT_FALSE(this->mBuffer.Erase(2, 1));
    EXPECT_FALSE(this->mBuffer.Erase(-1, 1));
    EXPECT_EQ(L"ADE", this->Text());
}

TYPED_TEST(StringBufferTest, EraseAtOffsetZeroNeverRecordsOffsetOne) {
    // Erasing one character from a text at the storage's start moves the text instead.
    this->mBuffer.Assign(L"xyz", false);
    EXPECT_TRUE(this->mBuffer.Erase(0, 0));
    EXPECT_EQ(0u, this->mBuffer.GetOffset());
    EXPECT_EQ(L"yz", this->Text());
    EXPECT_TRUE(this->mBuffer.Erase(1, 1));
    EXPECT_EQ(0u, this->mBuffer.GetOffset());
    EXPECT_EQ(L"y", this->Text());
}

TYPED_TEST(StringBufferTest, LargeFrontGapMovesTextInstead) {
    // A front gap that character 1 cannot record makes the text move, and no character is lost.
    WString text = Letters(200000);
    this->mBuffer.Assign(text.c_str(), true);
    EXPECT_TRUE(this->mBuffer.Erase(0, 99999));
    EXPECT_EQ(65535u, this->mBuffer.GetOffset());
    EXPECT_EQ(text.substr(100000), this->Text());
    EXPECT_TRUE(this->mBuffer.Erase(1, 79998));
    EXPECT_EQ(text.substr(100000, 1) + text.substr(179999), this->Text());
    this->mBuffer.Assign(L"short", true);
    EXPECT_EQ(65535u, this->mBuffer.GetOffset());
    EXPECT_EQ(L"short", this->Text());
}

TYPED_TEST(StringBufferTest, CompactMovesTextToStart) {
    // Compact hands back the storage with the text at its start and offset 0.
    this->mBuffer.Assign(L"0123456789", true);
    ASSERT_EQ(11u, this->mBuffer.GetOffset());
    WCHAR* storage = this->mBuffer.Compact();
    EXPECT_EQ(this->mBuffer.GetBuffer(), storage);
    EXPECT_EQ(L"0123456789", WString(storage));
    EXPECT_EQ(0u, this->mBuffer.GetOffset());
    this->mBuffer.Erase(0, -1);
    storage = this->mBuffer.Compact();
    EXPECT_EQ(0, storage[0]);
    EXPECT_EQ(0, storage[1]);
    EXPECT_EQ(0u, this->mBuffer.GetOffset());
}

TYPED_TEST(StringBufferTest, InsertUsesTheGapsAroundTheText) {
    // Near the front the front gap takes the insertion, near the end the back; nothing else moves.
    this->mBuffer.Assign(L"ABCDEFGHIJ", true);
    WCHAR* text = this->mBuffer.GetText();
    EXPECT_TRUE(this->mBuffer.Insert(L"<", 0));
    EXPECT_EQ(10u, this->mBuffer.GetOffset());
    EXPECT_EQ(text - 1, this->mBuffer.GetText());
    EXPECT_EQ(L"<ABCDEFGHIJ", this->Text());
    EXPECT_TRUE(this->mBuffer.Insert(L"+-", 2));
    EXPECT_EQ(8u, this->mBuffer.GetOffset());
    EXPECT_EQ(L"<A+-BCDEFGHIJ", this->Text());
    EXPECT_TRUE(this->mBuffer.Insert(L"xyz", 12, 2));
    EXPECT_EQ(8u, this->mBuffer.GetOffset());
    EXPECT_EQ(L"<A+-BCDEFGHIxyJ", this->Text());
    EXPECT_TRUE(this->mBuffer.Insert(L"END", 100));
    EXPECT_EQ(L"<A+-BCDEFGHIxyJEND", this->Text());
    EXPECT_FALSE(this->mBuffer.Insert(L"", 0));
    EXPECT_FALSE(this->mBuffer.Insert(nullptr, 0));
    EXPECT_EQ(L"<A+-BCDEFGHIxyJEND", this->Text());
}

TYPED_TEST(StringBufferTest, InsertGrowsWhenTheGapsAreFull) {
    // Without room the text is rebuilt in larger storage, in order; an empty buffer allocates.
    EXPECT_TRUE(this->mBuffer.Insert(L"middle", 5));
    EXPECT_EQ(L"middle", this->Text());
    WString tail = Letters(40);
    EXPECT_TRUE(this->mBuffer.Insert(tail.c_str(), 3));
    EXPECT_EQ(L"mid" + tail + L"dle", this->Text());
    EXPECT_LT(this->mBuffer.GetLength() + 2, this->mBuffer.GetCapacity());
    WString whole = this->Text();
    EXPECT_TRUE(this->mBuffer.Insert(L"!", UINT(whole.size() / 2)));
    EXPECT_EQ(whole.substr(0, whole.size() / 2) + L"!" + whole.substr(whole.size() / 2), this->Text());
}

TYPED_TEST(StringBufferTest, AppendKeepsTextAcrossGrowth) {
    // Appending past the capacity reallocates and keeps the text, also when appending itself.
    this->mBuffer.Append(L"start");
    EXPECT_EQ(L"start", this->Text());
    WString expected = L"start";
    for (int i = 0; i < 20; ++i) {
        WString piece = Letters(i * 7);
        this->mBuffer.Append(piece.c_str());
        expected += piece;
        ASSERT_EQ(expected, this->Text());
    }
    this->mBuffer.Append(this->mBuffer.GetText());
    EXPECT_EQ(expected + expected, this->Text());
    this->mBuffer.Append(nullptr);
    EXPECT_EQ(expected + expected, this->Text());
}

TYPED_TEST(StringBufferTest, AssignNarrowWidensEveryByteUnchanged) {
    // Each byte becomes the character of the same value, 0x80 and above too, up to the first NUL.
    const char narrow[] = "A\x80\x9f\xa0\xff" "z\0hidden";
    this->mBuffer.AssignNarrow(narrow);
    WString expected = {WCHAR(0x41), WCHAR(0x80), WCHAR(0x9F), WCHAR(0xA0), WCHAR(0xFF), WCHAR(0x7A)};
    EXPECT_EQ(expected, this->Text());
    EXPECT_EQ((32u - 7u) / 2, this->mBuffer.GetOffset());
    this->mBuffer.AssignNarrow("");
    EXPECT_EQ(0u, this->mBuffer.GetLength());
    this->mBuffer.AssignNarrow("again");
    EXPECT_EQ(L"again", this->Text());
    this->mBuffer.AssignNarrow(nullptr);
    EXPECT_EQ(0u, this->mBuffer.GetLength());
    // Long texts are widened many bytes at a time: every value, in blocks and in the rest.
    std::string every;
    for (int value = 1; value < 256; ++value) every += static_cast<char>(value);
    this->mBuffer.AssignNarrow(every.c_str());
    WString widened;
    for (int value = 1; value < 256; ++value) widened += static_cast<WCHAR>(value);
    EXPECT_EQ(widened, this->Text());
}

TYPED_TEST(StringBufferTest, MultiByteCopyOfTheText) {
    // The ANSI copy holds the text; without text the fallback comes back.
    const char* fallback = "fallback";
    EXPECT_EQ(fallback, this->mBuffer.GetMultiByte(fallback));
    this->mBuffer.Assign(L"Deliver", true);
    EXPECT_STREQ("Deliver", this->mBuffer.GetMultiByte(fallback));
    WString letters = Letters(100);
    this->mBuffer.Append(letters.c_str());
    std::string longer = "Deliver";
    for (WCHAR c : letters) longer += char(c);
    EXPECT_STREQ(longer.c_str(), this->mBuffer.GetMultiByte(fallback));
    this->mBuffer.Erase(0, -1);
    EXPECT_EQ(fallback, this->mBuffer.GetMultiByte(fallback));
#ifndef _WIN32
    // Our layer's ANSI code page narrows byte for byte, the way widening went.
    this->mBuffer.AssignNarrow("\x80\xff\x41");
    EXPECT_STREQ("\x80\xff\x41", this->mBuffer.GetMultiByte(fallback));
#endif
}

TYPED_TEST(StringBufferTest, PropertiesReadAndWriteState) {
    // Each numbered property reads its value; only the user value and the offset can be set.
    this->mBuffer.Assign(L"0123456789", true);
    EXPECT_EQ(10u, this->mBuffer.GetProperty(1));
    EXPECT_EQ(32u, this->mBuffer.GetProperty(2));
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(this->mBuffer.GetBuffer()), this->mBuffer.GetProperty(3));
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(this->mBuffer.GetText()), this->mBuffer.GetProperty(4));
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(this->mBuffer.GetText()), this->mBuffer.GetProperty(5));
    this->mBuffer.SetProperty(6, 0x1234);
    EXPECT_EQ(0x1234u, this->mBuffer.GetProperty(6));
    EXPECT_EQ(0x1234, this->mBuffer.GetUserValue());
    this->mBuffer.SetProperty(7, 12);
    EXPECT_EQ(12u, this->mBuffer.GetProperty(7));
    EXPECT_EQ(L"123456789", this->Text());
    for (BYTE readOnly : {1, 2, 3, 4, 5, 8}) {
        SCOPED_TRACE(int(readOnly));
        try {
            this->mBuffer.SetProperty(readOnly, 1);
            ADD_FAILURE() << "no exception";
        } catch (int code) {
            EXPECT_EQ(-1, code);
        }
    }
    for (BYTE unknown : {0, 9, 255}) {
        SCOPED_TRACE(int(unknown));
        try {
            this->mBuffer.GetProperty(unknown);
            ADD_FAILURE() << "no exception";
        } catch (int code) {
            EXPECT_EQ(-1, code);
        }
    }
    EXPECT_EQ(L"123456789", this->Text());
}

TYPED_TEST(StringBufferTest, DetachAndFreeEmptyTheObject) {
    // Detach hands over the storage, Free releases it; both clear the user value.
    this->mBuffer.Assign(L"owned", true);
    this->mBuffer.SetUserValue(7);
    WCHAR* storage = reinterpret_cast<WCHAR*>(this->mBuffer.GetProperty(8));
    ASSERT_NE(nullptr, storage);
    EXPECT_EQ(L"owned", WString(storage + storage[1]));
    EXPECT_EQ(nullptr, this->mBuffer.GetBuffer());
    EXPECT_EQ(0u, this->mBuffer.GetCapacity());
    EXPECT_EQ(0, this->mBuffer.GetUserValue());
    this->mBuffer.Attach(storage);  // back under the object's ownership, released by Free
    this->mBuffer.SetUserValue(9);
    this->mBuffer.Free();
    EXPECT_EQ(nullptr, this->mBuffer.GetText());
    EXPECT_EQ(0u, this->mBuffer.GetLength());
    EXPECT_EQ(0, this->mBuffer.GetUserValue());
    EXPECT_EQ(nullptr, this->mBuffer.Detach());
}

TEST(CPWStringBufferCom, StorageIsACapacityLongComString) {
    // The COM variant's storage is a COM string whose length is the capacity; compacted, it
    // reads as the text.
    CPWStringBuffer buffer;
    buffer.Assign(L"Deliver me", true);
    BSTR storage = buffer.Compact();
    EXPECT_EQ(buffer.GetCapacity(), SysStringLen(storage));
    EXPECT_EQ(L"Deliver me", WString(storage));
    buffer.AssignNarrow(std::string(300, 'x').c_str());
    EXPECT_EQ(577u, SysStringLen(buffer.GetBuffer()));
}

TEST(CPWStringBufferCom, NarrowTextFillsFreshStorageWholly) {
    // Fresh storage is written once, not cleared first: every character the text leaves free
    // still reads as zero, wherever the text is put (storage freed just before, full of other
    // characters, is what the allocator hands out next).
    for (bool centre : {true, false}) {
        BSTR dirty = SysAllocStringLen(nullptr, 577);
        ASSERT_NE(nullptr, dirty);
        for (UINT i = 0; i < 577; ++i) dirty[i] = WCHAR(0x7E7E);
        SysFreeString(dirty);
        CPWStringBuffer buffer;
        buffer.AssignNarrow(std::string(300, 'x').c_str(), centre);
        ASSERT_EQ(577u, buffer.GetCapacity());
        UINT offset = buffer.GetOffset();
        EXPECT_EQ(centre ? 138u : 0u, offset);
        const WCHAR* storage = buffer.GetBuffer();
        for (UINT i = 0; i <= 577; ++i) {
            bool header = centre && i == 1;
            bool text = i >= offset && i < offset + 300;
            EXPECT_EQ(header ? WCHAR(offset) : text ? WCHAR('x') : WCHAR(0), storage[i]) << "character " << i;
        }
        EXPECT_EQ(storage, buffer.Compact()) << "nothing to move";
        EXPECT_EQ(300u, WString(storage).size());
    }
}

TEST(CPWStringBufferCom, ReceivedStringSizesItself) {
    // A COM string placed from outside takes its capacity from its text, and is released with it.
    CPWStringBuffer buffer;
    *buffer.Put() = SysAllocString(L"from a call");
    EXPECT_EQ(11u, buffer.GetCapacity());
    EXPECT_EQ(0u, buffer.GetOffset());
    EXPECT_EQ(L"from a call", WString(buffer.GetText()));
    buffer.Append(L", extended");
    EXPECT_EQ(L"from a call, extended", WString(buffer.GetText()));
    BSTR empty = SysAllocString(L"");
    buffer.Attach(empty);
    EXPECT_EQ(0u, buffer.GetCapacity());
    EXPECT_EQ(0u, buffer.GetLength());
    buffer.Assign(L"reused", true);
    EXPECT_EQ(L"reused", WString(buffer.GetText()));
}

TEST(CPWStringBufferLog, AllocationDetailsAtLevelSix) {
    // Allocation and offset changes are logged at level 6 with the numbers that matter.
    kvtest::ScopedTempDir dir;
    std::string path = dir.file("buffer.log");
    kvtest::ConfigureLog("file," + path + ",6");
    ASSERT_EQ(6, StartLogging(kvtest::kLogTestTag));
    {
        CPWHeapStringBuffer buffer;
        buffer.Assign(L"0123456789", true);
    }
    EndLogging();
    kvtest::ConfigureLog("");
    std::vector<std::string> messages;
    for (const std::string& line : kvtest::SplitLines(kvtest::ReadWholeFile(path))) {
        std::string message = kvtest::MessageOf(line);
        if (message.rfind("CPWStringBuffer::", 0) == 0) messages.push_back(message);
    }
    ASSERT_EQ(3u, messages.size());
    EXPECT_EQ("CPWStringBuffer::SetOffset - mOffset=11", messages[0]);
    EXPECT_EQ(0u, messages[1].find("CPWStringBuffer::Allocate - refsize=10 | mBuffer="));
    EXPECT_NE(std::string::npos, messages[1].find(" | mCapacity=32 | mOffset=11"));
    EXPECT_EQ("CPWStringBuffer::SetOffset - mOffset=11", messages[2]);
}
