// Two more parameter-bound controls: a numeric text field that shows a parameter's value and
// takes typed numbers and arrow-key steps, and a drop-down list of an indexed parameter's value
// names. Both draw their text with the manager's third font.
//
// Threads: as every control (Control.h); keys arrive on the main thread with the tree guard
// held, like the mouse.
#pragma once

#include <string>
#include <vector>

#include "Control.h"
#include "Font.h"

namespace MV {

// Click it to give it the keyboard; digits, '.' and a leading '-' replace the shown value,
// Return (or Enter) sets the parameter in one edit gesture, the arrow keys step the value by
// the last shown digit, and clicking elsewhere discards what was typed.
class TextField : public Control {
public:
    static constexpr int kTextSize = 32;

    // format: a printf format with one floating-point conversion, or empty to show the
    // parameter's own value text.
    TextField(Manager* manager, int paramIndex, float x, float y, float w, float h,
              const char* format);

    void Render() const override;
    void MouseDown(const CGPoint& point, unsigned modifiers, int clickCount) override;
    bool Keypress(unsigned char key) override;
    void LostFocus() override;
    // Render task: draws the prepared text.
    virtual void DoRender() const;
    // Makes the shown text from the parameter (while nothing is typed) and measures it; Render's
    // first half, without GL. Nothing without the manager's third font.
    void PrepareText() const;

    // The step the arrow keys take: one unit of the last shown decimal, else 1.
    float FindIncrement() const;
    // Sets the parameter in one complete edit gesture and shows its value again.
    void Commit(float value);

    const char* Text() const { return m_text; }
    bool IsEditing() const { return m_cursor >= 0; }

    void SetBackgroundColour(float r, float g, float b) { Set(m_backgroundColour, r, g, b); }
    void SetActiveColour(float r, float g, float b) { Set(m_activeColour, r, g, b); }
    void SetChangedColour(float r, float g, float b) { Set(m_changedColour, r, g, b); }
    void SetTextColour(float r, float g, float b) { Set(m_textColour, r, g, b); }

private:
    static void Set(float (&colour)[3], float r, float g, float b) {
        colour[0] = r;
        colour[1] = g;
        colour[2] = b;
    }
    // Starts typing over the shown value with c.
    void StartEditing(char c);

    // The index of the last typed character; -1 while the parameter's value is shown.
    int m_cursor = -1;
    std::string m_format;
    float m_backgroundColour[3] = {0.8f, 0.8f, 0.85f};
    float m_activeColour[3] = {0.8f, 1.0f, 0.8f};
    float m_changedColour[3] = {1.0f, 0.8f, 0.8f};
    float m_textColour[3] = {0.1f, 0.1f, 0.1f};
    // What is shown; prepared by Render, changed by keys.
    mutable char m_text[kTextSize] = {};
    // The value the text was made from; kRefresh forces the next frame to make it again.
    static constexpr float kRefresh = 1e30f;
    mutable float m_lastValue = kRefresh;
    mutable int m_lastCursor = -1;
    mutable float m_textWidth = 0.0f;
    mutable CachedText m_cachedText;
};

// A drop-down list of a parameter's value names: pressing opens the list with the current
// value's row over the control, dragging highlights a row, releasing on a row chooses it.
class DropDown : public Control {
public:
    DropDown(Manager* manager, int paramIndex, float x, float y, float w, float h);

    void MouseDown(const CGPoint& point, unsigned modifiers, int clickCount) override;
    void MouseDrag(const CGPoint& point, unsigned modifiers) override;
    void MouseUp(const CGPoint& point, unsigned modifiers) override;

    const std::vector<std::string>& Items() const { return m_items; }
    // The row under the pointer while open; -1 while closed.
    int Highlighted() const { return m_highlighted; }
    bool IsOpen() const { return m_highlighted >= 0; }
    // The open list's bottom-left corner in layout coordinates, and its size.
    float ListX() const { return m_listWorldX; }
    float ListY() const { return m_listWorldY; }
    float ListWidth() const { return m_listWidth; }
    float ListHeight() const { return m_listHeight; }

protected:
    // The row index the current value names, within the list.
    int CurrentItem() const;
    bool InsideList(const CGPoint& point, bool upperEdges) const;

    std::vector<std::string> m_items;
    int m_highlighted = -1;
    float m_listWidth = 0.0f;
    float m_listHeight = 0.0f;
    float m_listWorldX = 0.0f;
    float m_listWorldY = 0.0f;
    float m_listLocalX = 0.0f;
    float m_listLocalY = 0.0f;
    float m_itemHeight = 0.0f;
    mutable CachedText m_faceText;
    mutable std::vector<CachedText> m_itemTexts;
};

// The drop-down of the layout script: its face is drawn into the label texture, its current
// name every frame and its open list in the second pass, over everything else.
class ALDropDown : public DropDown {
public:
    static constexpr Vec4 kFaceColour{0.8f, 0.8f, 0.85f, 1.0f};
    static constexpr Vec4 kTextColour{0.1f, 0.1f, 0.1f, 1.0f};
    static constexpr Vec4 kListColour{0.6f, 0.6f, 0.6f, 0.95f};

    ALDropDown(Manager* manager, int paramIndex, float x, float y, float w, float h);

    void Render() const override;
    void RenderPass2() const override;
    void DrawLabel(const Font* font) override;
};

} // namespace MV
