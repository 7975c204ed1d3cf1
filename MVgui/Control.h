// The elements a user touches: controls bound to a plug-in parameter (knobs, on/off buttons),
// action buttons that call a function, and the live read-out of the effect's modulation.
//
// Threads: as every element (UIElement.h). Mouse operations run on the main thread, Update,
// Render and FinalPosition on the render task, both with the manager's tree guard held. A
// control keeps no parameter value of its own beyond what its last Update read.
#pragma once

#include <string>

#include "CAAUParameter.h"
#include "Font.h"
#include "UIElement.h"

namespace MV {

struct DataToGui;

// An element with a box of its own, hit-tested by that box, with the value helpers of the
// parameter-bound controls.
class ControlBase : public UIElement {
public:
    explicit ControlBase(Manager* manager);

    void ExtendBounds(Bounds& box) const override;
    // Itself when the point lies in its box, edges included.
    UIElement* HitTest(const CGPoint& point) override;

    // The knob position (0 to 1) of the parameter's current value.
    float NormalisedFromParam(const CAAUParameter& param) const;
    // Sets the parameter from a knob position through the manager (the host and every listener
    // hear it). An integer-valued control rounds to a whole value and snaps normalised to it.
    void SetParamFromNormalised(const CAAUParameter& param, float& normalised) const;
    // Snaps normalised to the nearest whole parameter value.
    static void GetNormalisedAsIntegerValued(const CAAUParameter& param, float& normalised);

    bool IsIntegerValued() const { return m_integerValued; }

protected:
    bool m_integerValued = false;
};

// A control bound to one parameter: it follows the parameter every frame, shows it on the info
// line while hovered and opens the edit gesture while pressed.
class Control : public ControlBase {
public:
    // An index outside the manager's parameters gives a control bound to nothing.
    Control(Manager* manager, int paramIndex);

    void Update() override;
    void MouseDown(const CGPoint& point, unsigned modifiers, int clickCount) override;
    void MouseUp(const CGPoint& point, unsigned modifiers) override;
    void MouseEntered() override;
    void MouseExited() override;

    const CAAUParameter& Param() const { return m_param; }
    int ParamId() const { return int(m_param.mParameterID); }
    float Normalised() const { return m_normalised; }

protected:
    CAAUParameter m_param;
    float m_normalised = 0.0f;
};

// A knob turned by dragging up and down: 200 units cover the whole range, 2000 with shift.
// Command-click or a double-click restores the default, command-double-click sets 0, and a
// click on an on/off parameter toggles it.
class Knob : public Control {
public:
    static constexpr float kDragSensitivity = 0.005f;
    static constexpr float kFineSensitivity = 0.0005f;

    Knob(Manager* manager, int paramIndex, float x, float y, float size);

    void Render() const override;
    void MouseDown(const CGPoint& point, unsigned modifiers, int clickCount) override;
    void MouseDrag(const CGPoint& point, unsigned modifiers) override;

protected:
    CGPoint m_dragStart;
    float m_dragStartValue = 0.0f;
};

// An action button: its callback runs when a press that began on it is released.
class Button : public ControlBase {
public:
    using Callback = void (*)(Button* button, void* user);

    Button(Manager* manager, const char* label, Callback callback, void* user, float x, float y,
           float w, float h, int helpId);

    void Render() const override;
    void MouseUp(const CGPoint& point, unsigned modifiers) override;
    void MouseEntered() override;
    void MouseExited() override;

    const std::string& Label() const { return m_label; }
    int HelpId() const { return m_helpId; }

protected:
    std::string m_label;
    Callback m_callback;
    void* m_user;
    int m_helpId;
};

// A button with a state flag. Layout scripts can ask any element for its state; only these
// answer. The product's layout creates none.
class StatefulButton : public Button {
public:
    enum Type { kMomentary = 0, kToggle = 1 };

    StatefulButton(Manager* manager, const char* label, Callback callback, void* user, float x,
                   float y, float w, float h, int helpId, Type type);

    bool State() const { return m_state; }
    void SetState(bool state) { m_state = state; }
    Type GetType() const { return m_type; }

private:
    Type m_type;
    bool m_state = false;
};

// An action button drawn as a translucent box that glows while the pointer is over it, with its
// label centred in the info font.
class BrimButton : public Button {
public:
    static constexpr Vec4 kRestColour{0.3f, 0.3f, 0.3f, 0.2f};
    static constexpr Vec4 kHoverColour{0.8f, 0.4f, 0.1f, 0.3f};
    static constexpr Vec4 kLabelColour{0.8f, 0.8f, 0.8f, 1.0f};

    BrimButton(Manager* manager, const char* label, Callback callback, void* user, float x, float y,
               float w, float h, int helpId);

    void Render() const override;
    void MouseEntered() override;
    void MouseExited() override;
    void FinalPosition() override;

    const Vec4& TargetColour() const { return m_targetColour; }

private:
    mutable Vec4 m_colour = kRestColour;
    Vec4 m_targetColour = kRestColour;
    Vec4 m_labelColour = kLabelColour;
};

// An on/off button bound to a parameter: a press flips it between its minimum and maximum.
class TeskButton : public Control {
public:
    static constexpr Vec4 kOffColour{0.3f, 0.3f, 0.3f, 0.4f};
    static constexpr Vec4 kOnColour{1.0f, 0.5f, 0.5f, 0.9f};

    TeskButton(Manager* manager, const char* label, float x, float y, float w, float h,
               int paramIndex);

    void Update() override;
    void Render() const override;
    void MouseDown(const CGPoint& point, unsigned modifiers, int clickCount) override;
    void FinalPosition() override;

    const Vec4& TargetColour() const { return m_targetColour; }

private:
    std::string m_label;
    mutable Vec4 m_colour = kOffColour;
    Vec4 m_targetColour = kOffColour;
    Vec4 m_labelColour = BrimButton::kLabelColour;
};

// Two lines of live values: the modulation's current speed and depth.
class InfoDisplay : public UIElement {
public:
    // How far right of the speed the depth is drawn.
    static constexpr float kDepthOffset = 165.0f;

    InfoDisplay(Manager* manager, float x, float y, float w, float h, const DataToGui* values);

    void Render() const override;
    void ExtendBounds(Bounds& box) const override;

    // The texts as last drawn.
    const char* SpeedText() const { return m_speedText; }
    const char* DepthText() const { return m_depthText; }

private:
    const DataToGui* m_values;
    mutable float m_lastSpeed = -1.0f;
    mutable float m_lastDepth = -1.0f;
    mutable char m_speedText[32] = {};
    mutable char m_depthText[32] = {};
    mutable CachedText m_speedLine;
    mutable CachedText m_depthLine;
};

// Places a caption centred in a box with the manager's info font (render task, at the final
// position). Shared by the buttons.
void AddCentredCaption(Manager* manager, const std::string& caption, const Bounds& world,
                       const Vec4* colour);

} // namespace MV
