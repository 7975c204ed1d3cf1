// Elements of the editor's display tree and the whole-window render passes.
//
// Threads: elements are built on the main thread before the render task starts. Afterwards the
// main thread calls the mouse and key operations and the render task calls Update, Render,
// RenderPass2, FinalPosition, InitialiseRendering and DrawLabel, always with the Manager's tree
// guard held (see Manager.h), so an element never sees both at once. Main-thread code that
// changes elements outside the Manager's operations once the render task runs (a script showing
// or hiding an element) holds the guard too: GetManager()->TreeGuard().
#pragma once

#include <string>
#include <vector>

#include "GuiTypes.h"

namespace MV {

class Font;
class Group;
class Manager;

class UIElement {
public:
    // Registers the element with the manager, which owns and deletes it.
    explicit UIElement(Manager* manager);
    virtual ~UIElement() = default;
    UIElement(const UIElement&) = delete;
    UIElement& operator=(const UIElement&) = delete;

    // Render task, once per frame before drawing.
    virtual void Update() {}
    // Render task: the 2D pass.
    virtual void Render() const {}
    // Render task: the second 2D pass, run only when the manager asks for it.
    virtual void RenderPass2() const {}
    // Expands box by the element's own box in its parent's coordinates.
    virtual void ExtendBounds(Bounds& box) const { (void)box; }
    // Main thread: pointer events, in layout units.
    virtual void MouseDown(const CGPoint& point, unsigned modifiers, int clickCount);
    virtual void MouseDrag(const CGPoint& point, unsigned modifiers);
    virtual void MouseUp(const CGPoint& point, unsigned modifiers);
    virtual void MouseEntered() {}
    virtual void MouseExited() {}
    // The element under point (in the parent's coordinates), or null.
    virtual UIElement* HitTest(const CGPoint& point);
    // Render task, once, after the layout is complete and before the first frame.
    virtual void FinalPosition() {}
    // Render task, once, with the GL context current.
    virtual void InitialiseRendering() {}
    // Render task: static text and shapes drawn into the label texture.
    virtual void DrawLabel(const Font* font) { (void)font; }
    // Main thread: a key for the keyboard focus; true when it was used.
    virtual bool Keypress(unsigned char key);
    virtual void LostFocus() {}
    virtual void SetVisible(bool visible) { m_visible = visible; }

    // The box in window layout coordinates: ExtendBounds shifted by every ancestor's position.
    void GetWorldBounds(Bounds& box) const;
    float GetWidth() const;
    float GetHeight() const;

    bool IsVisible() const { return m_visible; }
    Group* Parent() const { return m_parent; }
    Manager* GetManager() const { return m_manager; }

protected:
    Manager* m_manager;
    Group* m_parent = nullptr;
    bool m_visible = true;
    Bounds m_bounds;

private:
    friend class Group;
};

// A container with its own coordinate origin. Children are drawn in insertion order and
// hit-tested in the same order (the earliest added wins among overlapping siblings).
class Group : public UIElement {
public:
    explicit Group(Manager* manager);

    // Appends child (not owned) and gives it this group's visibility.
    void AddChild(UIElement* child);
    // Shifts box by this group's position and every ancestor's.
    void TransformBounds(Bounds& box) const;
    void SetPosition(float x, float y, float z = 0.0f);
    const float* Position() const { return m_position; }
    const std::vector<UIElement*>& Children() const { return m_children; }

    void Update() override;
    void Render() const override;
    void RenderPass2() const override;
    void ExtendBounds(Bounds& box) const override;
    UIElement* HitTest(const CGPoint& point) override;
    void SetVisible(bool visible) override;

    // While set, a group answers a hit inside its own box when no child does (hover tracking).
    static bool ms_hitTestIncludesGroups;

protected:
    // The union of the children's boxes, in this group's own coordinates.
    Bounds ChildrenBounds() const;

    std::vector<UIElement*> m_children;
    float m_position[3] = {0.0f, 0.0f, 0.0f};
};

// A titled outline around its children that brightens while the pointer is over it.
class NamedGroup : public Group {
public:
    // margins: above, below, left, right; null gives no margins.
    NamedGroup(Manager* manager, const char* name, const float* margins);

    void ExtendBounds(Bounds& box) const override;
    void FinalPosition() override;
    void Render() const override;
    void MouseEntered() override;
    void MouseExited() override;
    void SetVisible(bool visible) override;

    const std::string& Name() const { return m_name; }
    const Vec4& Colour() const { return m_colour; }
    const Vec4& TargetColour() const { return m_targetColour; }

    // Main thread (the layout script); read when the pointer enters or leaves a group.
    static Vec4 ms_activeTargetColour;
    static Vec4 ms_inactiveTargetColour;

private:
    std::string m_name;
    float m_margins[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    // Eased towards the target on the render task; Render is const to the tree walk.
    mutable Vec4 m_colour;
    Vec4 m_targetColour;
    int m_titleId = -1;
    float m_outline[12] = {};
};

// A whole-window render pass (text passes, knob renderers). Not an element: whoever creates
// one appends it to the manager's effect list, which owns it. Render task only.
class Effect {
public:
    explicit Effect(Manager* manager) : m_manager(manager) {}
    virtual ~Effect() = default;
    Effect(const Effect&) = delete;
    Effect& operator=(const Effect&) = delete;

    virtual void Update() {}
    virtual void Render2d() = 0;
    virtual void Render3d() const {}
    virtual void InitialiseRendering() = 0;
    virtual void ShutdownRendering() {}

protected:
    Manager* m_manager;
};

} // namespace MV
