#include "Talkweft/AX.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "TestSupport.hpp"

namespace talkweft {
namespace {

using namespace platform;
using headless::Node;
using headless::TextField;

std::shared_ptr<Node> node(std::string role) { return std::make_shared<Node>(std::move(role)); }

TEST(AXTests, TypedReadersGiveNothingForOtherKindsOfValue) {
    auto el = node("AXGroup");
    el->set("str", std::string(""));
    el->set("attr", AXAttributedString{"styled"});
    el->set("int", std::int64_t{42});
    el->set("frac", -3.9);
    el->set("range", AXRange{3, 4});
    el->set("url", AXURL{"https://example.com/a"});
    el->set("bad", std::string("a\xff" "b"));

    EXPECT_EQ(AX::string(el, "str"), "");  // empty is a value
    EXPECT_EQ(AX::string(el, "attr"), "styled");
    EXPECT_EQ(AX::string(el, "bad"), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(AX::number(el, "int"), 42);
    EXPECT_EQ(AX::number(el, "frac"), -3);
    EXPECT_EQ(AX::range(el, "range"), (UTF16Range{3, 4}));
    EXPECT_EQ(AX::url(el, "url"), "https://example.com/a");
    EXPECT_EQ(AX::url(el, "str"), "");

    for (const char* wrong : {"int", "range", "url", "missing"}) EXPECT_FALSE(AX::string(el, wrong)) << wrong;
    for (const char* wrong : {"str", "range", "missing"}) EXPECT_FALSE(AX::number(el, wrong)) << wrong;
    for (const char* wrong : {"str", "int", "missing"}) EXPECT_FALSE(AX::range(el, wrong)) << wrong;
    EXPECT_FALSE(AX::element(el, "str"));
    EXPECT_FALSE(AX::string(nullptr, "str"));
}

TEST(AXTests, DocumentIsAPathOnlyForFileLocations) {
    struct Case {
        AXValue value;
        std::optional<std::string> path;
    };
    const std::vector<Case> cases = {
        {std::string("/Users/a/notes.txt"), "/Users/a/notes.txt"},
        {AXURL{"file:///home/a/my%20notes.txt"}, "/home/a/my notes.txt"},
        {AXURL{"file://localhost/etc/hosts"}, "/etc/hosts"},
        {std::string("file:///tmp/x.md"), "/tmp/x.md"},
        {AXURL{"https://example.com/doc"}, std::nullopt},
        {std::string("example.com/doc"), std::nullopt},
        {AXURL{"file://otherhost/x"}, std::nullopt},
        {AXURL{"file:///bad%2"}, std::nullopt},
        {std::int64_t{7}, std::nullopt},
    };
    for (const auto& c : cases) {
        auto window = node("AXWindow");
        window->set(AX_DOCUMENT, c.value);
        EXPECT_EQ(AX::document(window), c.path);
    }
}

TEST(AXTests, SecureRoleCountsUpToTheGrandparent) {
    for (int depth = 0; depth < 4; ++depth) {
        auto top = node(depth == 3 ? std::string(AX_ROLE_SECURE_TEXT_FIELD) : "AXGroup");
        auto mid = node(depth == 2 ? std::string(AX_ROLE_SECURE_TEXT_FIELD) : "AXGroup");
        auto parent = node("AXGroup");
        auto leaf = node("AXStaticText");
        top->addChild(mid);
        mid->addChild(parent);
        parent->addChild(leaf);
        if (depth == 1) parent->set(AX_SUBROLE, std::string(AX_ROLE_SECURE_TEXT_FIELD));
        if (depth == 0) leaf->set(AX_ROLE, std::string(AX_ROLE_SECURE_TEXT_FIELD));
        EXPECT_EQ(AX::isSecure(leaf), depth < 3) << "secure at depth " << depth;
    }
}

TEST(AXTests, EditableClimbsToASettableFieldButNeverOutOfAWebPage) {
    auto page = node(std::string(AX_ROLE_WEB_AREA));
    auto area = std::make_shared<TextField>("draft");
    auto inner = node("AXStaticText");
    page->addChild(area);
    area->addChild(inner);
    EXPECT_EQ(AX::calcEditable(inner), area);

    // The page's first settable ancestor lies above the web area: nothing.
    auto browser = node("AXGroup");
    browser->setSettable(AX_VALUE, true);
    auto page2 = node(std::string(AX_ROLE_WEB_AREA));
    auto text = node("AXStaticText");
    browser->addChild(page2);
    page2->addChild(text);
    EXPECT_EQ(AX::calcEditable(text), nullptr);

    // A settable secure field is passed over in favour of its settable parent.
    auto outer = node("AXGroup");
    outer->setSettable(AX_SELECTED_TEXT_RANGE, true);
    auto secret = std::make_shared<TextField>("pw", std::string(AX_ROLE_SECURE_TEXT_FIELD));
    outer->addChild(secret);
    EXPECT_EQ(AX::calcEditable(secret), outer);

    // At most 8 elements are examined.
    auto root = node("AXGroup");
    root->setSettable(AX_VALUE, true);
    auto cur = root;
    for (int i = 0; i < 8; ++i) {
        auto child = node("AXGroup");
        cur->addChild(child);
        cur = child;
    }
    EXPECT_EQ(AX::calcEditable(cur), nullptr);
    EXPECT_EQ(AX::calcEditable(cur->parent()), root);
}

TEST(AXTests, WebURLComesFromTheNearestPageThatHasOne) {
    auto outerPage = node(std::string(AX_ROLE_WEB_AREA));
    outerPage->set(AX_URL, AXURL{"https://outer.example/"});
    auto innerPage = node(std::string(AX_ROLE_WEB_AREA));  // a frame without a URL
    auto field = node("AXTextField");
    outerPage->addChild(innerPage);
    innerPage->addChild(field);
    EXPECT_EQ(AX::calcWebURL(field), "https://outer.example/");
    EXPECT_EQ(AX::calcWebURL(node("AXTextField")), std::nullopt);
}

TEST(AXTests, FieldTextIsWholeOrOnlyTheVisiblePart) {
    auto e = std::make_shared<TextField>("");
    EXPECT_EQ(AX::calcFieldText(e), (FieldText{"", 0, true}));

    auto counted = std::make_shared<TextField>(std::string(120, 'c'));
    counted->answersValue = false;
    EXPECT_EQ(AX::calcFieldText(counted), (FieldText{std::string(120, 'c'), 0, true}));

    std::string long500;
    for (int i = 0; i < 500; ++i) long500.push_back(static_cast<char>('a' + i % 26));
    auto visible = std::make_shared<TextField>(long500);
    visible->visibleOnly = AXRange{300, 80};
    EXPECT_EQ(AX::calcFieldText(visible), (FieldText{long500.substr(300, 80), 300, false}));

    auto nothing = node("AXGroup");
    EXPECT_EQ(AX::calcFieldText(nothing), std::nullopt);
}

TEST(AXTests, FieldTextSurvivesLoneSurrogatesAndAFieldThatVanishesMidRead) {
    auto broken = std::make_shared<TextField>();
    broken->setUnits(u"ab\xD800" "c");
    EXPECT_EQ(AX::calcFieldText(broken), (FieldText{"ab\xEF\xBF\xBD" "c", 0, true}));

    auto vanishing = std::make_shared<TextField>("soon gone");
    vanishing->answersValue = false;
    vanishing->onRead = [&](std::string_view name) {
        if (name == AX_STRING_FOR_RANGE) vanishing->remove();
    };
    EXPECT_EQ(AX::calcFieldText(vanishing), std::nullopt);
}

TEST(AXTests, CaretRectIsTheSelectionBoundsUnlessTheyCoverTheDocument) {
    auto field = std::make_shared<TextField>("hello");
    field->frame = {10, 20, 300, 24};
    field->setSelection({2, 0});
    EXPECT_EQ(AX::calcCaretRect(field), (Rect{10 + 2 + 16, 22, 0, 16}));
    EXPECT_EQ(AX::calcFrame(field), (Rect{10, 20, 300, 24}));

    field->wholeDocumentBounds = true;
    EXPECT_EQ(AX::calcCaretRect(field), std::nullopt);

    auto odd = node("AXTextField");
    odd->set(AX_SELECTED_TEXT_RANGE, AXRange{0, 0});
    EXPECT_EQ(AX::calcCaretRect(odd), std::nullopt);  // no bounds answer
    odd->set(AX_POSITION, Point{1, 2});
    odd->set(AX_SIZE, std::string("not a size"));
    EXPECT_EQ(AX::calcFrame(odd), std::nullopt);
}

// Answers "AXBoundsForRange" with `answer`, and only for its selection (4, 3).
class BoundsNode : public Node {
public:
    BoundsNode() : Node("AXTextArea") { set(AX_SELECTED_TEXT_RANGE, AXRange{4, 3}); }
    std::optional<AXValue> answer;

protected:
    std::optional<AXValue> computeParameterized(std::string_view name, const AXValue& parameter) const override {
        if (name == AX_BOUNDS_FOR_RANGE && parameter == AXValue(AXRange{4, 3})) return answer;
        return std::nullopt;
    }
};

TEST(AXTests, CaretRectMustBeARealRectangleNarrowerThan5000Points) {
    struct Case {
        AXValue answer;
        std::optional<Rect> caret;
    };
    const std::vector<Case> cases = {
        {Rect{1, 2, 0, 16}, Rect{1, 2, 0, 16}},
        {Rect{1, 2, 4999.5, 16}, Rect{1, 2, 4999.5, 16}},
        {Rect{1, 2, 5000, 16}, std::nullopt},
        {Rect{1, 2, std::nan(""), 16}, std::nullopt},
        {Rect::null(), std::nullopt},
        {Size{5, 16}, std::nullopt},
        {std::string("{1, 2, 5, 16}"), std::nullopt},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        auto el = std::make_shared<BoundsNode>();
        el->answer = cases[i].answer;
        EXPECT_EQ(AX::calcCaretRect(el), cases[i].caret) << "case " << i;
    }
}

TEST(AXTests, FocusedElementFallsBackToTheAppAndThenAsksItToBuildItsTree) {
    testing::DesktopFixture fx;
    EXPECT_EQ(AX::calcFocusedElement(100), fx.field);

    fx.desktop.systemWide().answers = false;
    EXPECT_EQ(AX::calcFocusedElement(100), fx.field);

    fx.app->buildsTreeOnDemand = true;
    EXPECT_EQ(AX::calcFocusedElement(100), fx.field);
    EXPECT_TRUE(fx.app->manualAccessibility);

    fx.app->focus(nullptr);
    EXPECT_EQ(AX::calcFocusedElement(100), nullptr);
    EXPECT_EQ(AX::calcFocusedElement(999), nullptr);
}

}  // namespace
}  // namespace talkweft
