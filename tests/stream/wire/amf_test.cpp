#include "wire/amf.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <set>

#include "stream_kit.h"
#include "wire/my_exception.h"

namespace rtmp {
namespace {

using namespace kit;

void ReadAll(AmfReader& reader, ByteBuffer& in) {
    while (in.Remaining() > 0 && reader.ReadValue(in)) {
    }
}

TEST(AmfWriter, BytesOfEveryValueAndProperty) {
    using W = AmfWriter;
    const std::string s600(600, 'x'), s70k(70000, 'y');
    ByteBuffer b;  // one 512-byte block to start with
    W::WriteString(b, "connect");
    W::WriteString(b, nullptr);  // nothing
    W::WriteString(b, "");
    W::WriteNumber(b, 1.0);
    W::WriteNull(b);
    W::WriteObjectStart(b);
    W::WriteEcmaArrayStart(b, 0x01020304);
    W::WriteBoolean(b, 0x1FF);  // only the low byte
    W::WriteBoolean(b, 0);
    W::WriteObjectEnd(b);
    // No property for an empty or missing name or a missing value.
    W::WriteStringProperty(b, "app", "");
    W::WriteStringProperty(b, "", "live");
    W::WriteStringProperty(b, nullptr, "live");
    W::WriteStringProperty(b, "app", nullptr);
    W::WriteNumberProperty(b, "fps", 25.0);
    W::WriteBooleanProperty(b, "fpad", 0x100);
    W::WriteNumberProperty(b, "", 1.0);
    W::WriteBooleanProperty(b, nullptr, 1);
    W::WriteString(b, s600.c_str());  // grows the buffer, keeping what was written
    W::WriteString(b, s70k.c_str());  // cut at 65535, grows it again
    W::WriteStringProperty(b, "k", s70k.c_str());
    EXPECT_EQ(Bytes(b.Data(), b.Data() + b.Position()),
              Cat({Str("connect"), B(0x02, 0, 0), B(0x00, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0),
                   B(0x05, 0x03, 0x08, 1, 2, 3, 4, 0x01, 0xFF, 0x01, 0x00, 0, 0, 9), Name("app"),
                   Str(""), Name("fps"), Num(25.0), Name("fpad"), B(0x01, 0x00), Str(s600),
                   Str(s70k.substr(0, 65535)), Name("k"), Str(s70k.substr(0, 65535))}));
}

TEST(ParamList, LimitsOfNamesValuesAndThePendingKey) {
    ParamList list;
    const std::string name127(127, 'n');
    EXPECT_TRUE(list.Add(name127.c_str(), std::string(8191, 'v').c_str()));
    EXPECT_FALSE(list.Add(std::string(128, 'n').c_str(), "v"));
    EXPECT_FALSE(list.Add("n", std::string(8192, 'v').c_str()));
    EXPECT_FALSE(list.Add("", "v"));
    EXPECT_FALSE(list.Add("n", ""));
    EXPECT_FALSE(list.Add(nullptr, "v"));
    EXPECT_FALSE(list.Add("n", nullptr));
    EXPECT_EQ(std::strlen(list.Find(name127.c_str())), 8191u);
    list.Clear();
    EXPECT_FALSE(list.SetKey(std::string(128, 'k').c_str()));
    EXPECT_TRUE(list.SetKey(name127.c_str()));
    EXPECT_EQ(list.PendingKey(), name127);
    list.SetKey("code");
    list.AddValue("");  // refused (empty value), and the key is used up all the same
    EXPECT_STREQ(list.PendingKey(), "");
    list.AddValue("orphan");  // refused: no name
    EXPECT_EQ(list.Count(), 0);
    list.SetKey("id");
    list.AddInt(-17);
    list.Add("code", "first");
    list.Add("code", "second");
    list.SetKey("next");
    EXPECT_EQ(Entries(list), (Props{{"id", "-17"}, {"code", "first"}, {"code", "second"}}));
    EXPECT_STREQ(list.Find("code"), "first");
    EXPECT_STREQ(list.Find("Code"), "");
    EXPECT_STREQ(list.Find(nullptr), "");
    EXPECT_EQ(list.Get(-1), nullptr);
    EXPECT_EQ(list.Get(3), nullptr);
    list.Clear();  // keeps the pending key
    EXPECT_STREQ(list.PendingKey(), "next");
}

class AmfReaderTest : public ::testing::Test {
  protected:
    AmfReaderTest() { reader.SetList(&list); }
    ParamList list;
    AmfReader reader;
};

// After SetKey a value is stored as text; an object gives its first name, then its properties.
TEST_F(AmfReaderTest, ValuesAfterSetKeyAreStoredAsTextAndObjectsFlattened) {
    const double inf = std::numeric_limits<double>::infinity();
    const auto k = [](const char* v) { return Props{{"k", v}}; };
    const struct {
        Bytes in;
        Props stored;
        int left;
    } cases[] = {
        // clang-format off
        // Numbers truncate toward zero to the low 32 bits.
        {Num(100), k("100"), 0}, {Num(2.9), k("2"), 0}, {Num(-2.9), k("-2"), 0},
        {Num(-0.5), k("0"), 0}, {Num(2147483648.0), k("-2147483648"), 0},
        {Num(4294967301.0), k("5"), 0}, {Num(-4294967297.0), k("-1"), 0}, {Num(1e300), k("0"), 0},
        {Num(inf), k("0"), 0}, {Num(-inf), k("0"), 0},
        {Num(std::numeric_limits<double>::quiet_NaN()), k("0"), 0},
        {{0x01, 0x01}, k("1"), 0}, {{0x01, 0xFF}, k("255"), 0},
        {{0x05, 0x01}, k("0"), 1}, {{0x06, 0x01}, k("0"), 1},                // null, undefined
        {{0x02, 0x00, 0x00}, {}, 0},                                         // empty string
        {{0x02, 0x00, 0x04, 'a', 'b', 0x00, 'c', 0x05}, k("ab"), 1},         // ends at a NUL
        {Cat({B(0x0C), Be(5, 4), B('h', 'e', 'l', 'l', 'o')}), k("hello"), 0},  // long string
        {Cat({Str(std::string(9000, 'z')), Str("after")}), {}, 8},          // too long to keep
        {{0x0B, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0x05}, k("0"), 1},            // date
        // XML, reference, unsupported, recordset: only their marker.
        {{0x0F, 0x01, 0x01}, k("0"), 2}, {{0x07, 0x01, 0x01}, k("0"), 2},
        {{0x04, 0x01, 0x01}, k("0"), 2}, {{0x0D, 0x01, 0x01}, k("0"), 2},
        {{0x0E, 0x01, 0x01}, k("0"), 2},
        // clang-format on
        {Cat({B(0x03), Name("level"), Str("error"), Name("code"), Str("X"), kEnd, kNull}),
         {{"k", "level"}, {"level", "error"}, {"code", "X"}},
         1},
        {Cat({B(0x08), Be(7, 4), Name("width"), Num(1280), Name("stereo"), B(0x01, 0x01), kEnd}),
         {{"k", "width"}, {"width", "1280"}, {"stereo", "1"}},
         0},  // the count is not used
        {Cat({B(0x0A), Be(3, 4), Num(7), Num(8), Str("x"), kNull}), k("7"), 1},
        {Cat({B(0x10), Name("flex.messaging.Ack"), Name("code"), Str("OK"), kEnd}),
         {{"k", "code"}, {"code", "OK"}},
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(Head(c.in, std::min<size_t>(c.in.size(), 12))));
        list.Clear();
        list.SetKey("k");
        ByteBuffer in = Buffer(c.in);
        ASSERT_TRUE(reader.ReadValue(in));
        EXPECT_EQ(in.Remaining(), c.left);
        EXPECT_EQ(Entries(list), c.stored);
        EXPECT_STREQ(list.PendingKey(), "");
    }
    // ReadObject counts the properties and ends with the buffer when there is no end marker.
    list.Clear();
    ByteBuffer props = Buffer(Cat({Name("a"), Num(1), Name("b"), B(0x01, 0x00)}));
    EXPECT_EQ(reader.ReadObject(props), 2);
    EXPECT_EQ(Entries(list), (Props{{"a", "1"}, {"b", "0"}}));
    // ObjectContinues consumes only the end marker, and not two bytes at the buffer's end.
    ByteBuffer in = Buffer({0x00, 0x01, 'a', 0x00, 0x00, 0x09, 0x00, 0x00});
    EXPECT_TRUE(reader.ObjectContinues(in));
    EXPECT_EQ(in.Position(), 0);
    in.SetPosition(3);
    EXPECT_FALSE(reader.ObjectContinues(in));
    EXPECT_EQ(in.Position(), 6);
    EXPECT_FALSE(reader.ObjectContinues(in));
    EXPECT_EQ(in.Position(), 6);
}

TEST_F(AmfReaderTest, EveryCutOfAReplyIsEitherCleanOrTruncatedAndNeverReadsPast) {
    const Bytes full =
        Command("_result", 1, {{"level", "status"}, {"code", "NetConnection.Connect.Success"}});
    // Clean cuts: between top-level values (0, 10, 19, 20), between properties (21, 37, 75), the
    // whole (78); a cut inside the end marker leaves 00 or 00 00, a number cut short.
    const std::set<size_t> clean = {0, 10, 19, 20, 21, 37, 75, 78};
    for (size_t cut = 0; cut <= full.size(); ++cut) {
        SCOPED_TRACE(cut);
        ByteBuffer in = Buffer(full);
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
        if (truncated) {
            EXPECT_LE(in.Position(), static_cast<int>(cut));
        } else {
            EXPECT_EQ(in.Position(), static_cast<int>(cut));
        }
    }
    list.Clear();
    list.SetKey("InvokeName");
    ByteBuffer in = Buffer(full);
    ReadAll(reader, in);
    EXPECT_STREQ(list.Find("InvokeName"), "_result");
    EXPECT_STREQ(list.Find("code"), "NetConnection.Connect.Success");
    AmfReader alone;  // without a list
    ByteBuffer again = Buffer(full);
    ReadAll(alone, again);
    EXPECT_EQ(again.Remaining(), 0);
}

Bytes NestedObjects(int depth) {
    return Cat({B(0x03), Repeat(Cat({Name("a"), B(0x03)}), depth - 1), Repeat(kEnd, depth)});
}

TEST_F(AmfReaderTest, EachFieldCutShortAndNestingPastTheLimitThrow) {
    // clang-format off
    const Bytes cases[] = {
        {0x00, 0x3F, 0xF0}, {0x01}, {0x02, 0x00}, {0x02, 0x00, 0x05, 'a', 'b'},  // values
        {0x0C, 0x00, 0x00, 0x01}, {0x0C, 0x00, 0x00, 0x00, 0x03, 'a'},          // long string
        {0x0C, 0xFF, 0xFF, 0xFF, 0xFF, 'a', 'b'}, {0x0B, 1, 2, 3, 4, 5, 6, 7, 8, 9},  // date
        {0x08, 0x00, 0x00}, {0x0A, 0x00, 0x00, 0x00}, {0x0A, 0xFF, 0xFF, 0xFF, 0xFF, 0x05},
        {0x0A, 0x00, 0x00, 0x00, 0x02, 0x05}, {0x0A, 0x00, 0x00, 0x00, 0x02, 0x09, 0x09},  // array
        {0x03, 0x00, 0x09, 'a', 'b', 'c'}, {0x03, 0x00, 0x01, 'a'},  // property name, value
        {0x03, 0x00, 0x01, 'a', 0x11, 0x09}, {0x10, 0x00}, {0x10, 0x00, 0x04, 'a', 'b'}};
    // clang-format on
    for (const Bytes& bytes : cases) {
        ByteBuffer in = Buffer(bytes);
        EXPECT_THROW(reader.ReadValue(in), AmfTruncated) << testing::PrintToString(bytes);
        EXPECT_LE(in.Position(), in.Limit());
    }
    // Nesting deeper than the limit throws.
    const Bytes arrays = Repeat(B(0x0A, 0x00, 0x00, 0x00, 0x01), AmfReader::kMaxDepth + 1);
    // 16 maps each holding an array: 32 levels, fine; one more object is not.
    const Bytes maps = Repeat(Cat({B(0x08, 0, 0, 0, 1), Name("m"), B(0x0A, 0, 0, 0, 1)}), 16);
    const Bytes mapsOk = Cat({maps, kNull, Repeat(kEnd, 16)});
    const std::pair<Bytes, bool> nesting[] = {{NestedObjects(31), true},
                                              {NestedObjects(AmfReader::kMaxDepth), true},
                                              {mapsOk, true},
                                              {NestedObjects(AmfReader::kMaxDepth + 1), false},
                                              {Cat({arrays, kNull}), false},
                                              {Cat({maps, B(0x03), kEnd}), false}};
    for (const auto& [bytes, fine] : nesting) {
        ByteBuffer in = Buffer(bytes);
        if (fine) {
            EXPECT_TRUE(reader.ReadValue(in));
            EXPECT_EQ(in.Remaining(), 0);
            continue;
        }
        ExpectFault([&] { reader.ReadValue(in); }, MYEX_NESTING);
    }
}

TEST_F(AmfReaderTest, ObjectWithThousandsOfPropertiesStoresOnlyTheCap) {
    Bytes b = {0x03};
    for (int i = 0; i < 2000; ++i)
        b = Cat({b, Name("p" + std::to_string(i)), B(0x01, 0x01)});
    ByteBuffer in = Buffer(Cat({b, kEnd}));
    EXPECT_TRUE(reader.ReadValue(in));
    EXPECT_EQ(in.Remaining(), 0);  // read to the end even though entries were refused
    ASSERT_EQ(list.Count(), ParamList::kMaxEntries);
    EXPECT_EQ(list.Get(ParamList::kMaxEntries - 1)->name, "p1023");
    EXPECT_STREQ(list.Find("p1024"), "");
    EXPECT_FALSE(list.Add("extra", "1"));
    list.Clear();
    EXPECT_TRUE(list.Add("extra", "1"));
}

TEST_F(AmfReaderTest, FillerIsSkippedButNeverPastTheLimit) {
    ByteBuffer in = Buffer({0x09, 0x11, 0xFF, 0x01, 0x01, 0x09, 0xFE, 0x05});
    in.SetLimit(7);  // the null behind the limit must not be read
    list.SetKey("b");
    EXPECT_TRUE(reader.ReadValue(in));
    EXPECT_EQ(in.Position(), 5);
    list.SetKey("n");
    EXPECT_FALSE(reader.ReadValue(in));
    EXPECT_EQ(in.Position(), 7);
    EXPECT_EQ(Entries(list), (Props{{"b", "1"}}));
    EXPECT_FALSE(reader.ReadValue(in));  // nothing left at all
}

}  // namespace
}  // namespace rtmp
