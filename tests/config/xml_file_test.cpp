#include "config/xml_file.h"

#include "digest/fetch_rules.h"

#include "config_test_support.h"

#include <tinyxml.h>

#include <gtest/gtest.h>

namespace {

std::string Repeat(const std::string& text, int count) {
    std::string result;
    for (int i = 0; i < count; ++i) {
        result += text;
    }
    return result;
}

std::string Nested(int depth) {
    return Repeat("<a>", depth) + Repeat("</a>", depth);
}

TEST(IsSafeToParseTest, AcceptsWhatTheFilesUse) {
    EXPECT_TRUE(IsSafeToParse("<FileList/>"));
    EXPECT_TRUE(IsSafeToParse("\xEF\xBB\xBF<?xml version=\"1.0\" encoding='UTF-8' standalone=\"yes\"?>\n"
                              "<!-- \xe6\xb8\xb8\xe6\x88\x8f <b> -->\n"
                              "<FileList>\n"
                              "  <File FilePath=\"\\\xe6\x95\xb0\\a.txt\" url='http://h/a?x=1&amp;y=&#20013;&#x4E2D;'"
                              " md5=\"a>b/>c\" opt=\"RUN\"/>\n"
                              "  <Other FilePath=\"\\b\"><Inner x=\"1\"></Inner>text &lt; &#x41;</Other>"
                              "<![CDATA[ <not><an><element> ]]>\n"
                              "</FileList >\n"));
}

TEST(IsSafeToParseTest, LimitsTheNestingDepth) {
    EXPECT_TRUE(IsSafeToParse(Nested(256)));
    EXPECT_FALSE(IsSafeToParse(Nested(257)));
    EXPECT_FALSE(IsSafeToParse(Nested(30000)));
    EXPECT_FALSE(IsSafeToParse(Repeat("<a>", 300))); // never closed
    // Self-closed and closed siblings do not add up.
    EXPECT_TRUE(IsSafeToParse("<r>" + Repeat("<e/>", 1000) + Repeat("<e></e>", 1000) + "</r>"));
    // Markup inside comments, CDATA and attribute values is not nesting.
    const std::string deep = Repeat("<a>", 30000);
    EXPECT_TRUE(IsSafeToParse("<r><!--" + deep + "--></r>"));
    EXPECT_TRUE(IsSafeToParse("<r><![CDATA[" + deep + "]]></r>"));
}

TEST(IsSafeToParseTest, RefusesTextThatTinyXmlWouldReadDifferently) {
    const std::string deep = Repeat("<a>", 30000);
    for (const std::string& text :
         {// "&#x" without digits: TinyXML would read past the quote to
          // the "x1;" and then take the hidden elements as content.
          "<r a=\"&#x\" b='x1;\">" + deep + "'>", std::string("<r a=\"&#;\"/>"), std::string("<r a=\"&#12\"/>"),
          std::string("<r>&#xZ1;</r>"),
          // A declaration TinyXML ends at a ">" inside a value.
          "<?xml version=\"?>\" x='\">" + deep + "'?><r/>",
          std::string("<?xml version=\"1.0\"encoding=\"UTF-8\"?><r/>"),
          std::string("<?xml-stylesheet href=\"a\"?><r/>"), std::string("<!DOCTYPE r [<!ENTITY e \"x\">]><r/>"),
          std::string("<?pi data?><r/>"), std::string("<r a=b/>"), std::string("<r a/>"), std::string("<r a=\"1/>"),
          std::string("< r/>"), std::string("<r/ >"), std::string("</r>"), std::string("<r></ r>"),
          std::string("<r><!-- open</r>"), std::string("<r><![CDATA[ open</r>"), std::string("<r>\xEF\xBB\xBF</r>"),
          std::string("<r a=\"\xEF\xBF\xBE\"/>")}) {
        EXPECT_FALSE(IsSafeToParse(text)) << text.substr(0, 80);
    }
}

TEST(IsSafeToParseTest, RefusesMalformedUtf8AndZeroBytes) {
    for (const std::string& text :
         {std::string("<r a=\"\xE4\xB8\"/>"), std::string("<r a=\"\xE4\xB8"), std::string("<r/>\xF0\x9F\x8E"),
          std::string("<r a=\"\xE4\"x\"/>"), std::string("<r>\x80</r>"), std::string("<r>\xC0\xAF</r>"),
          std::string("<r>\xF5\x80\x80\x80</r>"), std::string("<r/>\0<a/>", 9)}) {
        EXPECT_FALSE(IsSafeToParse(text)) << text;
    }
    EXPECT_TRUE(IsSafeToParse("<r a=\"\xE4\xB8\xAD\xF0\x9F\x8E\xAE\"/>"));
}

class LoadXmlFileTest : public testing::Test {
protected:
    test::CTempFolder m_folder{L"_\u6e38\u620f"};
    const std::wstring m_path = m_folder.Path() + L"\\test.xml";
};

TEST_F(LoadXmlFileTest, ParsesTheFileThroughItsWidePath) {
    test::WriteFileBytes(m_path, "<?xml version=\"1.0\"?>\r\n<r>\r\n<e a=\"\xe4\xb8\xad\" b='x&amp;y'/>\r</r>\r\n");
    TiXmlDocument document;
    ASSERT_TRUE(LoadXmlFile(m_path, document));
    const TiXmlElement* entry = document.RootElement()->FirstChildElement();
    ASSERT_NE(entry, nullptr);
    EXPECT_STREQ(entry->Attribute("a"), "\xe4\xb8\xad");
    EXPECT_STREQ(entry->Attribute("b"), "x&y");
}

TEST_F(LoadXmlFileTest, RefusesWhatWouldOverflowTheStackAndWhatDoesNotParse) {
    // Parsed without the check, this ends the test program.
    test::WriteFileBytes(m_path, "<r>" + Nested(100000) + "</r>");
    TiXmlDocument deep;
    EXPECT_FALSE(LoadXmlFile(m_path, deep));

    test::WriteFileBytes(m_path, "<r><e></r>");
    TiXmlDocument mismatched;
    EXPECT_FALSE(LoadXmlFile(m_path, mismatched));

    TiXmlDocument missing;
    EXPECT_FALSE(LoadXmlFile(m_folder.Path() + L"\\missing.xml", missing));
}

// A file list may be as large as the worker downloads, and not a byte more:
// the reader takes the whole file into memory.
TEST_F(LoadXmlFileTest, ReadsUpToTheFileListsCapAndRefusesMore) {
    const std::string open = "<r>";
    const std::string close = "</r>";
    std::string text =
        open + std::string(static_cast<size_t>(kMaxFileListBytes) - open.size() - close.size(), ' ') + close;
    test::WriteFileBytes(m_path, text);
    std::string read;
    EXPECT_TRUE(ReadXmlFileText(m_path, read));
    EXPECT_EQ(read.size(), text.size());

    text.insert(open.size(), 1, ' ');
    test::WriteFileBytes(m_path, text);
    std::string over;
    EXPECT_FALSE(ReadXmlFileText(m_path, over));
    TiXmlDocument document;
    EXPECT_FALSE(LoadXmlFile(m_path, document));
}

} // namespace
