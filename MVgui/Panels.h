// The editor's small windows besides the editor itself: the settings (the product's version, the
// OSC base port and the three display preferences) and a message the user should not miss. Each
// is laid out here with the toolkit's elements on a manager of its own, a manager of no unit;
// MVgui/platform puts them into windows.
//
// Threads: as every element (UIElement.h): built and clicked on the main thread, drawn by the
// panel manager's render task, both under that manager's tree guard.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "Control.h"
#include "Font.h"

namespace MV {

class Manager;

// A field for a whole number: click it, then type digits (at most kMaxDigits); Backspace takes
// the last one back. Its text is what it holds: nothing is committed on Return or lost on
// leaving it, whoever owns the field reads the text when it needs the value.
class NumberField : public ControlBase {
public:
    static constexpr int kMaxDigits = 5;

    NumberField(Manager* manager, const std::string& text, float x, float y, float w, float h);

    void Render() const override;
    void MouseDown(const CGPoint& point, unsigned modifiers, int clickCount) override;
    bool Keypress(unsigned char key) override;

    const std::string& Text() const { return m_text; }
    // The number typed; 0 for an empty field.
    long Value() const;

private:
    std::string m_text;
    mutable CachedText m_cachedText;
};

// A box to tick with its caption on its right; a click on either toggles it and tells the owner.
class CheckBox : public ControlBase {
public:
    using Toggled = std::function<void(bool checked)>;
    static constexpr float kBoxSize = 12.0f;

    CheckBox(Manager* manager, const char* caption, bool checked, float x, float y,
             Toggled toggled);

    void Render() const override;
    void MouseUp(const CGPoint& point, unsigned modifiers) override;
    void DrawLabel(const Font* font) override;

    bool Checked() const { return m_checked; }

private:
    std::string m_caption;
    bool m_checked;
    Toggled m_toggled;
    CachedText m_cachedCaption;
};

// The settings window's content. The three check boxes take effect and are stored as soon as they
// are clicked; the base port is read when the window closes (Apply).
class SettingsPanel {
public:
    static constexpr int kWidth = 340;
    static constexpr int kHeight = 200;
    static constexpr const char* kTitle = "Fluxet Settings";

    // Builds the panel on panel (before its window opens) from the process-wide base port and
    // display settings; editor is the editor the settings window belongs to (nudged when
    // constant redraw is turned on), or null.
    SettingsPanel(Manager& panel, Manager* editor);

    // The window closed: a base port from 1 to 65535 in the field is stored as the preference
    // "OSC Base Port" and becomes the process-wide base port, and the editor's "OSC Port Offset"
    // is set to its own value so that its unit moves its OSC server to the new port. Anything
    // else in the field, or no editor, changes nothing.
    void Apply(Manager* editor) const;

    NumberField& PortField() const { return *m_port; }
    // Whether the panel's "Close" button was clicked.
    bool CloseRequested() const { return m_closeRequested; }

    static std::string VersionText();

private:
    NumberField* m_port = nullptr;
    bool m_closeRequested = false;
};

// A message in lines no wider than kWidth allows, and an "OK" button.
class MessagePanel {
public:
    static constexpr int kWidth = 380;

    explicit MessagePanel(const std::string& text);
    // The window height the message needs.
    int Height() const;
    void Build(Manager& panel);

    const std::vector<std::string>& Lines() const { return m_lines; }
    bool CloseRequested() const { return m_closeRequested; }

private:
    std::vector<std::string> m_lines;
    bool m_closeRequested = false;
};

} // namespace MV
