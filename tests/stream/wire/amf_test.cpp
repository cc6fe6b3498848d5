#include "wire/amf.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "log/log.h"
#include "wire/my_exception.h"

namespace rtmp {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Written(const ByteBuffer& b) {
    return Bytes(b.Data(), b.Data() + b.Position());
}

// A buffer holding exactly these bytes, ready to be read.
ByteBuffer Input(const Bytes& bytes) {
    ByteBuffer b(static_cast<int>(bytes.size()));
    if (!bytes.empty())
        b.PutBytes(bytes.data(), static_cast<int>(bytes.size()));
    b.SetLimit(b.Position());
    b.SetPosition(0);
    return b;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// 16-bit length and bytes: a property name.
Bytes Name(const std::string& s) {
    return Concat({{static_cast<uint8_t>(s.size() >> 8), static_cast<uint8_t>(s.size())}, Text(s)});
}

Bytes Str(const std::string& s) {
    return Concat({{0x02}, Name(s)});
}

Bytes Num(double d) {
    ByteBuffer b;
    AmfWriter::WriteNumber(b, d);
    return Written(b);
}

const Bytes kEnd = {0x00, 0x00, 0x09};

struct Pair {
    std::string name;
    std::string value;
    bool operator==(const Pair&) const = default;
};

std::vector<Pair> Entries(const ParamList& list) {
    std::vector<Pair> out;
    for (int i = 0; i < list.Count(); ++i)
        out.push_back({list.Get(i)->name, list.Get(i)->value});
    return out;
}

void PrintTo(const Pair& p, std::ostream* os) {
    *os << "(" << p.name << ", " << p.value << ")";
}

// Reads values until the buffer is exhausted or only filler is left.
void ReadAll(AmfReader& reader, ByteBuffer& in) {
    while (in.Remaining() > 0 && reader.ReadValue(in)) {
    }
}

class AmfReaderTest : public ::testing::Test {
  protected:
    AmfReaderTest() { reader.SetList(&list); }
    ParamList list;
    AmfReader reader;
};

// ---------------------------------------------------------------------------------------------
// Writer

TEST(AmfWriterBytes, StringConnect) {
    ByteBuffer b;
    AmfWriter::WriteString(b, "connect");
    EXPECT_EQ(Written(b), Concat({{0x02, 0x00, 0x07}, Text("connect")}));
}

TEST(AmfWriterBytes, NullStringWritesNothingEmptyStringWritesZeroLength) {
    ByteBuffer b;
    AmfWriter::WriteString(b, nullptr);
    EXPECT_EQ(b.Position(), 0);
    AmfWriter::WriteString(b, "");
    EXPECT_EQ(Written(b), (Bytes{0x02, 0x00, 0x00}));
}

TEST(AmfWriterBytes, NumberOneIsBigEndianDouble) {
    ByteBuffer b;
    AmfWriter::WriteNumber(b, 1.0);
    EXPECT_EQ(Written(b), (Bytes{0x00, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0}));
}

TEST(AmfWriterBytes, MarkersAndObjectEnd) {
    ByteBuffer b;
    AmfWriter::WriteNull(b);
    AmfWriter::WriteObjectStart(b);
    AmfWriter::WriteEcmaArrayStart(b, 0x01020304);
    AmfWriter::WriteBoolean(b, 0x1FF);  // only the low byte
    AmfWriter::WriteBoolean(b, 0);
    AmfWriter::WriteObjectEnd(b);
    EXPECT_EQ(Written(b), (Bytes{0x05, 0x03, 0x08, 0x01, 0x02, 0x03, 0x04, 0x01, 0xFF, 0x01, 0x00,
                                 0x00, 0x00, 0x09}));
}

TEST(AmfWriterBytes, StringPropertyWithEmptyValueAndEmptyName) {
    ByteBuffer b;
    AmfWriter::WriteStringProperty(b, "app", "");
    EXPECT_EQ(Written(b), Concat({Name("app"), {0x02, 0x00, 0x00}}));
    const int before = b.Position();
    AmfWriter::WriteStringProperty(b, "", "live");
    AmfWriter::WriteStringProperty(b, nullptr, "live");
    AmfWriter::WriteStringProperty(b, "app", nullptr);
    EXPECT_EQ(b.Position(), before);
}

TEST(AmfWriterBytes, NumberAndBooleanProperties) {
    ByteBuffer b;
    AmfWriter::WriteNumberProperty(b, "fps", 25.0);
    AmfWriter::WriteBooleanProperty(b, "fpad", 0x100);
    AmfWriter::WriteNumberProperty(b, "", 1.0);
    AmfWriter::WriteBooleanProperty(b, nullptr, 1);
    EXPECT_EQ(Written(b), Concat({Name("fps"), Num(25.0), Name("fpad"), {0x01, 0x00}}));
}

TEST(AmfWriterBytes, StringLongerThanOneBlockGrowsTheBuffer) {
    ByteBuffer b;  // one 512-byte block
    AmfWriter::WriteNull(b);
    const std::string s(600, 'x');
    AmfWriter::WriteString(b, s.c_str());
    EXPECT_EQ(b.Position(), 1 + 3 + 600);
    EXPECT_GE(b.Capacity(), b.Position());
    EXPECT_EQ(Written(b), Concat({{0x05, 0x02, 0x02, 0x58}, Text(s)}));
}

TEST(AmfWriterBytes, StringBeyond16BitsIsCutAt65535) {
    ByteBuffer b;
    const std::string s(70000, 'y');
    AmfWriter::WriteString(b, s.c_str());
    ASSERT_EQ(b.Position(), 3 + 65535);
    EXPECT_EQ(b.Data()[0], 0x02);
    EXPECT_EQ(b.Data()[1], 0xFF);
    EXPECT_EQ(b.Data()[2], 0xFF);
    EXPECT_EQ(b.Data()[3 + 65534], 'y');

    ByteBuffer p;
    AmfWriter::WriteStringProperty(p, "k", s.c_str());
    EXPECT_EQ(p.Position(), 3 + 3 + 65535);
}

TEST(AmfWriterBytes, ManyPropertiesGrowAndKeepEarlierBytes) {
    ByteBuffer b;
    AmfWriter::WriteString(b, "@setDataFrame");
    AmfWriter::WriteEcmaArrayStart(b, 0);
    for (int i = 0; i < 100; ++i) {
        const std::string name = "key" + std::to_string(i);
        AmfWriter::WriteStringProperty(b, name.c_str(), "some value text");
        AmfWriter::WriteNumberProperty(b, name.c_str(), i);
    }
    AmfWriter::WriteObjectEnd(b);
    ASSERT_GT(b.Position(), 512);

    ParamList list;
    AmfReader reader;
    reader.SetList(&list);
    ByteBuffer in = Input(Written(b));
    ReadAll(reader, in);
    EXPECT_EQ(in.Remaining(), 0);
    // The leading string has no key; map entries alternate text and number under each name.
    ASSERT_EQ(list.Count(), 200);
    EXPECT_EQ(list.Get(0)->name, "key0");
    EXPECT_EQ(list.Get(0)->value, "some value text");
    EXPECT_EQ(list.Get(199)->name, "key99");
    EXPECT_EQ(list.Get(199)->value, "99");
}

// ---------------------------------------------------------------------------------------------
// ParamList

TEST(ParamListLimits, NamesAndValuesOutsideTheirLengthsAreRefused) {
    ParamList list;
    const std::string name127(127, 'n');
    const std::string value8191(8191, 'v');
    EXPECT_TRUE(list.Add(name127.c_str(), value8191.c_str()));
    EXPECT_FALSE(list.Add(std::string(128, 'n').c_str(), "v"));
    EXPECT_FALSE(list.Add("n", std::string(8192, 'v').c_str()));
    EXPECT_FALSE(list.Add("", "v"));
    EXPECT_FALSE(list.Add("n", ""));
    EXPECT_FALSE(list.Add(nullptr, "v"));
    EXPECT_FALSE(list.Add("n", nullptr));
    ASSERT_EQ(list.Count(), 1);
    EXPECT_EQ(std::strlen(list.Find(name127.c_str())), 8191u);
}

TEST(ParamListLimits, EntriesBeyondTheCapAreRefused) {
    ParamList list;
    for (int i = 0; i < ParamList::kMaxEntries; ++i)
        ASSERT_TRUE(list.Add(("k" + std::to_string(i)).c_str(), "1"));
    EXPECT_FALSE(list.Add("extra", "1"));
    EXPECT_EQ(list.Count(), ParamList::kMaxEntries);
    EXPECT_STREQ(list.Find("extra"), "");
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_TRUE(list.Add("extra", "1"));
}

TEST(ParamListKeys, SetKeyRefusesLongNamesAndKeepsThePendingKey) {
    ParamList list;
    EXPECT_TRUE(list.SetKey("level"));
    EXPECT_FALSE(list.SetKey(std::string(128, 'k').c_str()));
    EXPECT_STREQ(list.PendingKey(), "level");
    EXPECT_TRUE(list.SetKey(std::string(127, 'k').c_str()));
    EXPECT_EQ(std::strlen(list.PendingKey()), 127u);
}

TEST(ParamListKeys, AddValueClearsThePendingKeyEvenWhenNotStored) {
    ParamList list;
    list.SetKey("code");
    list.AddValue("");  // refused: empty value
    EXPECT_EQ(list.Count(), 0);
    EXPECT_STREQ(list.PendingKey(), "");
    list.AddValue("orphan");  // refused: no name
    EXPECT_EQ(list.Count(), 0);
    list.SetKey("id");
    list.AddInt(-17);
    EXPECT_STREQ(list.Find("id"), "-17");
}

TEST(ParamListLookup, FindIsExactFirstMatchAndEmptyWhenAbsent) {
    ParamList list;
    list.Add("code", "first");
    list.Add("code", "second");
    list.Add("Level", "x");
    EXPECT_STREQ(list.Find("code"), "first");
    const char* absent = list.Find("level");
    ASSERT_NE(absent, nullptr);
    EXPECT_STREQ(absent, "");
    EXPECT_STREQ(list.Find(nullptr), "");
    EXPECT_EQ(list.Get(-1), nullptr);
    EXPECT_EQ(list.Get(3), nullptr);
    ASSERT_NE(list.Get(2), nullptr);
    EXPECT_EQ(list.Get(2)->name, "Level");
}

TEST(ParamListLookup, ClearKeepsThePendingKey) {
    ParamList list;
    list.Add("a", "1");
    list.SetKey("next");
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_STREQ(list.PendingKey(), "next");
}

// ---------------------------------------------------------------------------------------------
// Reader: values

TEST_F(AmfReaderTest, NumberAfterSetKeyStoresItsIntegerText) {
    list.SetKey("InvokeID");
    ByteBuffer in = Input({0x00, 0x40, 0x59, 0, 0, 0, 0, 0, 0});
    EXPECT_TRUE(reader.ReadValue(in));
    EXPECT_EQ(in.Remaining(), 0);
    EXPECT_EQ(Entries(list), (std::vector<Pair>{{"InvokeID", "100"}}));
}

TEST_F(AmfReaderTest, NumbersTruncateTowardZeroToLow32Bits) {
    const std::vector<std::pair<double, std::string>> cases = {
        {2.9, "2"},
        {-2.9, "-2"},
        {-0.5, "0"},
        {2147483648.0, "-2147483648"},
        {4294967301.0, "5"},
        {-4294967297.0, "-1"},
        {1e300, "0"},
        {std::numeric_limits<double>::infinity(), "0"},
        {-std::numeric_limits<double>::infinity(), "0"},
        {std::numeric_limits<double>::quiet_NaN(), "0"},
    };
    for (const auto& [d, text] : cases) {
        list.Clear();
        list.SetKey("n");
        ByteBuffer in = Input(Num(d));
        ASSERT_TRUE(reader.ReadValue(in));
        EXPECT_STREQ(list.Find("n"), text.c_str()) << d;
    }
}

TEST_F(AmfReaderTest, BooleanStoresItsByte) {
    list.SetKey("x");
    ByteBuffer in = Input({0x01, 0x01, 0x01, 0xFF});
    EXPECT_TRUE(reader.ReadValue(in));
    list.SetKey("y");
    EXPECT_TRUE(reader.ReadValue(in));
    EXPECT_EQ(Entries(list), (std::vector<Pair>{{"x", "1"}, {"y", "255"}}));
}

TEST_F(AmfReaderTest, NullAndUndefinedStoreZero) {
    ByteBuffer in = Input({0x05, 0x06});
    list.SetKey("a");
    EXPECT_TRUE(reader.ReadValue(in));
    list.SetKey("b");
    EXPECT_TRUE(reader.ReadValue(in));
    EXPECT_EQ(Entries(list), (std::vector<Pair>{{"a", "0"}, {"b", "0"}}));
}

TEST_F(AmfReaderTest, EmptyStringIsNotStored) {
    list.SetKey("k");
    ByteBuffer in = Input({0x02, 0x00, 0x00});
    EXPECT_TRUE(reader.ReadValue(in));
    EXPECT_EQ(list.Count(), 0);
    EXPECT_STREQ(list.PendingKey(), "");
}

TEST_F(AmfReaderTest, StringEndsAtAnEmbeddedNulButConsumesAllItsBytes) {
    list.SetKey("s");
    ByteBuffer in = Input(Concat({{0x02, 0x00, 0x04, 'a', 'b', 0x00, 'c'}, {0x05}}));
    EXPECT_TRUE(reader.ReadValue(in));
    EXPECT_EQ(in.Position(), 7);
    EXPECT_STREQ(list.Find("s"), "ab");
}

TEST_F(AmfReaderTest, LongStringUsesA32BitLength) {
    list.SetKey("s");
    ByteBuffer in = Input(Concat({{0x0C, 0x00, 0x00, 0x00, 0x05}, Text("hello")}));
    EXPECT_TRUE(reader.ReadValue(in));
    EXPECT_EQ(in.Remaining(), 0);
    EXPECT_STREQ(list.Find("s"), "hello");
}

TEST_F(AmfReaderTest, StringLongerThanAValueIsConsumedButNotStored) {
    ByteBuffer out;
    const std::string big(9000, 'z');
    AmfWriter::WriteString(out, big.c_str());
    AmfWriter::WriteString(out, "after");
    ByteBuffer in = Input(Written(out));
    list.SetKey("big");
    EXPECT_TRUE(reader.ReadValue(in));
    EXPECT_EQ(list.Count(), 0);
    list.SetKey("next");
    EXPECT_TRUE(reader.ReadValue(in));
    EXPECT_EQ(Entries(list), (std::vector<Pair>{{"next", "after"}}));
}

TEST_F(AmfReaderTest, LongStringWithImpossibleLengthIsTruncated) {
    ByteBuffer in = Input({0x0C, 0xFF, 0xFF, 0xFF, 0xFF, 'a', 'b'});
    EXPECT_THROW(reader.ReadValue(in), AmfTruncated);
    EXPECT_LE(in.Position(), in.Limit());
}

TEST_F(AmfReaderTest, DateIsSkippedAsTenBytesAndStoresZero) {
    list.SetKey("d");
    ByteBuffer in = Input({0x0B, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0x05});
    EXPECT_TRUE(reader.ReadValue(in));
    EXPECT_EQ(in.Position(), 11);
    EXPECT_EQ(Entries(list), (std::vector<Pair>{{"d", "0"}}));
}

TEST_F(AmfReaderTest, XmlReferenceAndCustomConsumeOnlyTheirMarker) {
    for (uint8_t marker : {0x0F, 0x07, 0x04, 0x0D, 0x0E}) {
        list.Clear();
        list.SetKey("u");
        ByteBuffer in = Input({marker, 0x01, 0x01});
        ASSERT_TRUE(reader.ReadValue(in));
        EXPECT_EQ(in.Position(), 1) << int{marker};
        EXPECT_STREQ(list.Find("u"), "0");
        // What follows is read as a value of its own.
        list.SetKey("b");
        ASSERT_TRUE(reader.ReadValue(in));
        EXPECT_STREQ(list.Find("b"), "1");
    }
}

// ---------------------------------------------------------------------------------------------
// Reader: objects, maps, arrays

TEST_F(AmfReaderTest, ObjectAfterSetKeyIsFlattenedWithItsFirstNameAsValue) {
    list.SetKey("Param");
    ByteBuffer in =
        Input(Concat({{0x03}, Name("level"), Str("error"), Name("code"), Str("X"), kEnd, {0x05}}));
    EXPECT_TRUE(reader.ReadValue(in));
    EXPECT_EQ(in.Remaining(), 1);  // the end marker was consumed, the null is next
    EXPECT_EQ(Entries(list),
              (std::vector<Pair>{{"Param", "level"}, {"level", "error"}, {"code", "X"}}));
}

TEST_F(AmfReaderTest, ReadObjectCountsPropertiesAndStopsAtTheEndOfTheBuffer) {
    ByteBuffer in = Input(Concat({Name("a"), Num(1), Name("b"), {0x01, 0x00}}));
    EXPECT_EQ(reader.ReadObject(in), 2);  // no end marker: ends with the buffer
    EXPECT_EQ(Entries(list), (std::vector<Pair>{{"a", "1"}, {"b", "0"}}));
}

TEST_F(AmfReaderTest, ObjectContinuesConsumesOnlyTheEndMarker) {
    ByteBuffer in = Input({0x00, 0x01, 'a', 0x00, 0x00, 0x09, 0x00, 0x00});
    EXPECT_TRUE(reader.ObjectContinues(in));
    EXPECT_EQ(in.Position(), 0);
    in.SetPosition(3);
    EXPECT_FALSE(reader.ObjectContinues(in));
    EXPECT_EQ(in.Position(), 6);
    EXPECT_FALSE(reader.ObjectContinues(in));  // two bytes left: end of buffer
    EXPECT_EQ(in.Position(), 6);
}

TEST_F(AmfReaderTest, EcmaArrayIsFlattenedLikeAnObject) {
    list.SetKey("Param");
    ByteBuffer in = Input(Concat({{0x08, 0x00, 0x00, 0x00, 0x07},  // count is only logged
                                  Name("width"),
                                  Num(1280),
                                  Name("stereo"),
                                  {0x01, 0x01},
                                  kEnd}));
    EXPECT_TRUE(reader.ReadValue(in));
    EXPECT_EQ(in.Remaining(), 0);
    EXPECT_EQ(Entries(list),
              (std::vector<Pair>{{"Param", "width"}, {"width", "1280"}, {"stereo", "1"}}));
}

TEST_F(AmfReaderTest, StrictArrayElementsHaveNoNamesOfTheirOwn) {
    list.SetKey("a");
    ByteBuffer in = Input(Concat({{0x0A, 0, 0, 0, 3}, Num(7), Num(8), Str("x"), {0x05}}));
    EXPECT_TRUE(reader.ReadValue(in));
    EXPECT_EQ(in.Remaining(), 1);
    EXPECT_EQ(Entries(list), (std::vector<Pair>{{"a", "7"}}));
}

TEST_F(AmfReaderTest, TypedObjectSkipsItsClassName) {
    list.SetKey("Param");
    ByteBuffer in =
        Input(Concat({{0x10}, Name("flex.messaging.Ack"), Name("code"), Str("OK"), kEnd}));
    EXPECT_TRUE(reader.ReadValue(in));
    EXPECT_EQ(in.Remaining(), 0);
    EXPECT_EQ(Entries(list), (std::vector<Pair>{{"Param", "code"}, {"code", "OK"}}));
}

// ---------------------------------------------------------------------------------------------
// Reader: hostile and short input

// An encoded _result reply: "_result", 1.0, null, { level: "status", code: "...Success" }.
Bytes ResultReply() {
    return Concat({Str("_result"),
                   Num(1.0),
                   {0x05},
                   {0x03},
                   Name("level"),
                   Str("status"),
                   Name("code"),
                   Str("NetConnection.Connect.Success"),
                   kEnd});
}

TEST_F(AmfReaderTest, EveryCutOfAReplyIsEitherCleanOrTruncatedAndNeverReadsPast) {
    const Bytes full = ResultReply();
    ASSERT_EQ(full.size(), 78u);
    // Cuts that end cleanly: before and between top-level values (0, 10, 19, 20), an object
    // cut between its properties ends with the buffer (21, 37, 75), and the whole reply (78).
    // Every other cut lands inside a field. A cut inside the end marker ends the object but
    // leaves 00 or 00 00, which reads as a number cut short.
    const std::set<size_t> clean = {0, 10, 19, 20, 21, 37, 75, 78};
    for (size_t cut = 0; cut <= full.size(); ++cut) {
        SCOPED_TRACE(cut);
        // The rest of the reply stays in storage behind the limit: a read past it would see it.
        ByteBuffer in = Input(full);
        in.SetLimit(static_cast<int>(cut));
        list.Clear();
        bool truncated = false;
        try {
            ReadAll(reader, in);
        } catch (const AmfTruncated&) {
            truncated = true;
        } catch (const BufferBoundsError& e) {
            ADD_FAILURE() << "read past the limit: " << e.what();
        }
        EXPECT_EQ(truncated, clean.count(cut) == 0);
        EXPECT_LE(in.Position(), static_cast<int>(cut));
        if (!truncated) {
            EXPECT_EQ(in.Position(), static_cast<int>(cut));
        }
    }
    list.Clear();
    ByteBuffer in = Input(full);
    list.SetKey("InvokeName");
    ReadAll(reader, in);
    EXPECT_STREQ(list.Find("InvokeName"), "_result");
    EXPECT_STREQ(list.Find("code"), "NetConnection.Connect.Success");
}

TEST_F(AmfReaderTest, EachFieldCutShortThrows) {
    const std::vector<Bytes> cases = {
        {0x00, 0x3F, 0xF0},                          // number
        {0x01},                                      // boolean
        {0x02, 0x00},                                // string length
        {0x02, 0x00, 0x05, 'a', 'b'},                // string bytes
        {0x0C, 0x00, 0x00, 0x01},                    // long string length
        {0x0C, 0x00, 0x00, 0x00, 0x03, 'a'},         // long string bytes
        {0x0B, 1, 2, 3, 4, 5, 6, 7, 8, 9},           // date
        {0x08, 0x00, 0x00},                          // map count
        {0x0A, 0x00, 0x00, 0x00},                    // array count
        {0x0A, 0x00, 0x00, 0x00, 0x02, 0x05},        // array shorter than its count
        {0x0A, 0x00, 0x00, 0x00, 0x02, 0x09, 0x09},  // array elements only filler
        {0x0A, 0xFF, 0xFF, 0xFF, 0xFF, 0x05},        // huge array count
        {0x03, 0x00, 0x09, 'a', 'b', 'c'},           // property name bytes
        {0x03, 0x00, 0x01, 'a'},                     // property value missing
        {0x03, 0x00, 0x01, 'a', 0x11, 0x09},         // property value only filler
        {0x10, 0x00},                                // class name length
        {0x10, 0x00, 0x04, 'a', 'b'},                // class name bytes
    };
    for (const Bytes& bytes : cases) {
        ByteBuffer in = Input(bytes);
        EXPECT_THROW(reader.ReadValue(in), AmfTruncated) << bytes.size();
        EXPECT_LE(in.Position(), in.Limit());
    }
}

// Objects nested `depth` deep: { a: { a: ... {} } }.
Bytes NestedObjects(int depth) {
    Bytes b = {0x03};
    for (int i = 1; i < depth; ++i)
        b = Concat({b, Name("a"), {0x03}});
    for (int i = 0; i < depth; ++i)
        b = Concat({b, kEnd});
    return b;
}

TEST_F(AmfReaderTest, NestingDeeperThanTheLimitThrows) {
    for (int depth : {31, AmfReader::kMaxDepth}) {
        ByteBuffer in = Input(NestedObjects(depth));
        EXPECT_TRUE(reader.ReadValue(in)) << depth;
        EXPECT_EQ(in.Remaining(), 0);
    }
    ByteBuffer deep = Input(NestedObjects(AmfReader::kMaxDepth + 1));
    try {
        reader.ReadValue(deep);
        ADD_FAILURE() << "33 nested objects were accepted";
    } catch (MyException e) {
        EXPECT_EQ(e, MYEX_NESTING);
    }
}

TEST_F(AmfReaderTest, NestedArraysAndMapsCountTowardsTheLimit) {
    Bytes arrays;
    for (int i = 0; i < AmfReader::kMaxDepth + 1; ++i)
        arrays = Concat({arrays, {0x0A, 0x00, 0x00, 0x00, 0x01}});
    arrays.push_back(0x05);
    ByteBuffer in = Input(arrays);
    EXPECT_THROW(reader.ReadValue(in), MyException);

    // 16 maps each holding an array: 32 levels are fine, one more object is not.
    Bytes ok;
    for (int i = 0; i < 16; ++i)
        ok = Concat({ok, {0x08, 0, 0, 0, 1}, Name("m"), {0x0A, 0, 0, 0, 1}});
    Bytes tooDeep = Concat({ok, {0x03}, kEnd});
    ok.push_back(0x05);
    for (int i = 0; i < 16; ++i)
        ok = Concat({ok, kEnd});
    ByteBuffer fine = Input(ok);
    EXPECT_TRUE(reader.ReadValue(fine));
    EXPECT_EQ(fine.Remaining(), 0);
    ByteBuffer bad = Input(tooDeep);
    EXPECT_THROW(reader.ReadValue(bad), MyException);
}

TEST_F(AmfReaderTest, ObjectWithThousandsOfPropertiesStoresOnlyTheCap) {
    Bytes b = {0x03};
    for (int i = 0; i < 2000; ++i)
        b = Concat({b, Name("p" + std::to_string(i)), {0x01, 0x01}});
    b = Concat({b, kEnd});
    ByteBuffer in = Input(b);
    EXPECT_TRUE(reader.ReadValue(in));
    EXPECT_EQ(in.Remaining(), 0);  // read to the end even though entries were refused
    ASSERT_EQ(list.Count(), ParamList::kMaxEntries);
    EXPECT_EQ(list.Get(ParamList::kMaxEntries - 1)->name, "p1023");
    EXPECT_STREQ(list.Find("p1024"), "");
}

TEST_F(AmfReaderTest, FillerIsSkippedButNeverPastTheLimit) {
    ByteBuffer in = Input({0x09, 0x11, 0xFF, 0x01, 0x01, 0x09, 0xFE, 0x05});
    in.SetLimit(7);  // the null behind the limit must not be read
    list.SetKey("b");
    EXPECT_TRUE(reader.ReadValue(in));
    EXPECT_EQ(in.Position(), 5);
    list.SetKey("n");
    EXPECT_FALSE(reader.ReadValue(in));
    EXPECT_EQ(in.Position(), 7);
    EXPECT_EQ(Entries(list), (std::vector<Pair>{{"b", "1"}}));
    EXPECT_FALSE(reader.ReadValue(in));  // nothing left at all

    ByteBuffer empty = Input({});
    EXPECT_FALSE(reader.ReadValue(empty));
}

TEST(AmfReaderNoList, ReadsWithoutAList) {
    AmfReader reader;
    ByteBuffer in = Input(ResultReply());
    ReadAll(reader, in);
    EXPECT_EQ(in.Remaining(), 0);
}

// ---------------------------------------------------------------------------------------------
// Dump

class AmfReaderDump : public AmfReaderTest {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/amf_dump_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        const char* old = std::getenv("VISTREL_LOG_DIR");
        hadOld_ = old != nullptr;
        if (hadOld_)
            old_ = old;
        setenv("VISTREL_LOG_DIR", dir_.c_str(), 1);
        log::SetLog(0, log::kFlagFile);
    }
    void TearDown() override {
        log::SetLog(0, 0);
        if (hadOld_)
            setenv("VISTREL_LOG_DIR", old_.c_str(), 1);
        else
            unsetenv("VISTREL_LOG_DIR");
        rmdir(dir_.c_str());
    }
    std::string LogText() const {
        std::ifstream f(dir_ + "/Vistrel.log");
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }

  private:
    std::string dir_;
    std::string old_;
    bool hadOld_ = false;
};

TEST_F(AmfReaderDump, PropertiesDumpKeyAndValueWithTheirMarkers) {
    list.SetKey("Param");
    ByteBuffer in = Input(Concat({{0x03},
                                  Name("level"),
                                  Str("status"),
                                  Name("n"),
                                  Num(2.9),
                                  Name("ok"),
                                  {0x01, 0x01},
                                  Name("z"),
                                  {0x05},
                                  kEnd}));
    ASSERT_TRUE(reader.ReadValue(in));
    const std::string text = LogText();
    // Each line ends with a newline and the bracketed stamp that opens the next one.
    const std::vector<std::string> parts = {
        "Params:{\n[",       "] Key:string:level\n[", "] Value:string:status\n[",
        "] Key:string:n\n[", "] Value:double:2\n[",   "] Key:string:ok\n[",
        "] Value:bool:1\n[", "] Key:string:z\n[",     "] Value:NULL:\n[",
        "] }End Params\n["};
    size_t at = 0;
    for (const std::string& p : parts) {
        const size_t found = text.find(p, at);
        ASSERT_NE(found, std::string::npos) << p << "\nin:\n" << text;
        at = found + p.size();
    }
}

TEST_F(AmfReaderDump, ContainersDumpTheirCounts) {
    ByteBuffer in = Input(Concat({{0x08, 0, 0, 0, 2},
                                  kEnd,
                                  {0x0A, 0, 0, 0, 1, 0x0B},
                                  Bytes(10, 0),
                                  {0x0F, 0x07, 0x0D, 0x03}}));
    ReadAll(reader, in);
    const std::string text = LogText();
    for (const char* p : {"MapNum:2\n", "}End Params\n", "Array:ArrayLen=1\n", "Date:XX\n",
                          "XML:XX\n", "REFERENCE:XX\n", "ReadCustom:XX\n", "}End Buffer\n"}) {
        EXPECT_NE(text.find(p), std::string::npos) << p << "\nin:\n" << text;
    }
}

}  // namespace
}  // namespace rtmp
