// The accessibility tree of the simulated desktop: generic elements, text fields, application
// elements and the system-wide element.
//
// Tests build trees (app -> window -> ... -> field), set any attribute to any value (also values
// of the wrong kind), make elements vanish (remove()) and hook reads (onRead) to change the world
// in the middle of a capture. Main thread only, like the interface they implement.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Platform/Accessibility.hpp"

namespace talkweft::platform::headless {

class AppNode;

// A generic element: attributes from a table, settable names from a set, a parent and children.
class Node : public AXElement, public std::enable_shared_from_this<Node> {
public:
    explicit Node(std::string role);

    // The table of plain attributes; a value set here wins over anything computed by a subclass.
    void set(std::string_view name, AXValue value);
    void unset(std::string_view name);
    void setSettable(std::string_view name, bool settable);

    // Makes `child` a child of this element ("AXParent" of the child answers this element).
    void addChild(const std::shared_ptr<Node>& child);
    // Answers "AXParent" with `parent` without adding a child (for odd trees).
    void setParent(const std::shared_ptr<Node>& parent) { parent_ = parent; }
    std::shared_ptr<Node> parent() const { return parent_.lock(); }
    const std::vector<std::shared_ptr<Node>>& children() const { return children_; }

    // The element vanishes: every later read, settable check and write fails.
    void remove() { alive_ = false; }
    bool alive() const { return alive_; }

    // The application element above this one, if any.
    std::shared_ptr<AppNode> app() const;

    // Called before every read of an attribute or parameterized attribute, with its name.
    std::function<void(std::string_view)> onRead;
    // Every successful write, in order: (name, value).
    std::vector<std::pair<std::string, AXValue>> writes;

    std::optional<AXValue> attribute(std::string_view name) const final;
    std::optional<AXValue> parameterizedAttribute(std::string_view name, const AXValue& parameter) const final;
    bool isSettable(std::string_view name) const final;
    bool setAttribute(std::string_view name, const AXValue& value) final;
    bool isSameElement(const AXElement& other) const final { return &other == this; }

protected:
    // Subclass hooks, called only for live elements and names not in the table.
    virtual std::optional<AXValue> computeAttribute(std::string_view name) const;
    virtual std::optional<AXValue> computeParameterized(std::string_view name, const AXValue& parameter) const;
    virtual bool computeSettable(std::string_view name) const;
    // Applies a write to a settable attribute; false when the value is refused.
    virtual bool applyWrite(std::string_view name, const AXValue& value);

private:
    std::map<std::string, AXValue, std::less<>> table_;
    std::set<std::string, std::less<>> settable_;
    std::weak_ptr<Node> parent_;
    std::vector<std::shared_ptr<Node>> children_;
    bool alive_ = true;
};

// A text field (role "AXTextField" by default; "AXTextArea", "AXSecureTextField" ... as given)
// holding UTF-16 text with a selection. Geometry: the field's frame; each UTF-16 unit is 8 points
// wide on one line 16 points high starting 2 points inside the frame.
class TextField : public Node {
public:
    explicit TextField(std::string_view text = "", std::string role = std::string(AX_ROLE_TEXT_AREA));

    void setText(std::string_view utf8);        // the caret moves to the end
    void setUnits(std::u16string units);        // raw UTF-16 (lone surrogates allowed); caret to the end
    std::string text() const;                    // lone surrogates read as U+FFFD
    const std::u16string& units() const { return units_; }
    void setSelection(AXRange range) { selection_ = range; }
    AXRange selection() const { return selection_; }

    // Replaces the selection with `utf8` and puts the caret after it (what a paste does).
    void insertAtSelection(std::string_view utf8);

    Rect frame{100, 200, 400, 20};
    bool secure = false;          // answers no text at all ("AXValue", ranges, counts)
    bool readOnly = false;        // value and selection are not settable
    bool answersValue = true;     // false: no "AXValue" (other text reads still work)
    bool answersCount = true;     // false: no "AXNumberOfCharacters"
    // Set: only this range is readable ("AXVisibleCharacterRange" answers it; "AXValue" and
    // "AXNumberOfCharacters" answer nothing; "AXStringForRange" only inside it).
    std::optional<AXRange> visibleOnly;
    bool wholeDocumentBounds = false;  // "AXBoundsForRange" answers a 6000-point-wide rectangle
    // Rewrites what "AXSelectedText" reports (e.g. an app that reports no-break spaces).
    std::function<std::string(std::string)> selectedTextFilter;

protected:
    std::optional<AXValue> computeAttribute(std::string_view name) const override;
    std::optional<AXValue> computeParameterized(std::string_view name, const AXValue& parameter) const override;
    bool computeSettable(std::string_view name) const override;
    bool applyWrite(std::string_view name, const AXValue& value) override;

private:
    bool inText(AXRange r) const;    // the range lies inside the text
    bool readable(AXRange r) const;  // inText and, when only part is visible, inside that part

    std::u16string units_;
    AXRange selection_;
};

// The application element of one process: focused element and window, "AXManualAccessibility".
class AppNode : public Node {
public:
    AppNode(std::int32_t pid, std::optional<std::string> bundleID, std::optional<std::string> name);

    const std::int32_t pid;
    std::optional<std::string> bundleID;
    std::optional<std::string> name;

    // Adds a window (role "AXWindow") with an optional title; it becomes the focused window.
    std::shared_ptr<Node> addWindow(std::optional<std::string> title = std::nullopt);
    // Focus: the element "AXFocusedUIElement" answers and the window "AXFocusedWindow" answers.
    void focus(const std::shared_ptr<Node>& element) { focused_ = element; }
    std::shared_ptr<Node> focused() const { return focused_.lock(); }
    void setFocusedWindow(const std::shared_ptr<Node>& window) { focusedWindow_ = window; }

    // An app that builds its tree only on demand: no focused element until "AXManualAccessibility"
    // has been set to true.
    bool buildsTreeOnDemand = false;
    bool manualAccessibility = false;
    // false: Command-V is ignored.
    bool acceptsPaste = true;

protected:
    std::optional<AXValue> computeAttribute(std::string_view name) const override;
    bool computeSettable(std::string_view name) const override;
    bool applyWrite(std::string_view name, const AXValue& value) override;

private:
    std::weak_ptr<Node> focused_;
    std::weak_ptr<Node> focusedWindow_;
};

// The system-wide element: "AXFocusedUIElement" of whatever app `frontmost` names.
class SystemWideNode : public Node {
public:
    explicit SystemWideNode(std::function<std::shared_ptr<AppNode>()> frontmost);
    bool answers = true;  // false: every read fails (as some apps make it)

protected:
    std::optional<AXValue> computeAttribute(std::string_view name) const override;

private:
    std::function<std::shared_ptr<AppNode>()> frontmost_;
};

}  // namespace talkweft::platform::headless
