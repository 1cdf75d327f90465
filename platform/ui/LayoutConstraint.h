#pragma once
// A relation between an attribute of one view and one of another: first = second * multiplier
// + constant. The layout pass places subviews by their equal constraints to the superview or to
// siblings; other relations are kept but not solved.
#include <cstdint>
#include <memory>
#include <vector>

namespace platform {

class View;

enum class LayoutAttribute : int64_t {
    NotAnAttribute = 0,
    Left = 1,
    Right = 2,
    Top = 3,
    Bottom = 4,
    Leading = 5,
    Trailing = 6,
    Width = 7,
    Height = 8,
    CenterX = 9,
    CenterY = 10,
};

enum class LayoutRelation : int64_t { LessThanOrEqual = -1, Equal = 0, GreaterThanOrEqual = 1 };

class LayoutConstraint : public std::enable_shared_from_this<LayoutConstraint> {
public:
    static std::shared_ptr<LayoutConstraint> constraintWithItem(const std::shared_ptr<View>& item,
                                                                LayoutAttribute attribute, LayoutRelation relation,
                                                                const std::shared_ptr<View>& toItem,
                                                                LayoutAttribute toAttribute, double multiplier,
                                                                double constant);
    // Installs each on the first item's superview (or on the item itself without one).
    static void activateConstraints(const std::vector<std::shared_ptr<LayoutConstraint>>& constraints);
    static void deactivateConstraints(const std::vector<std::shared_ptr<LayoutConstraint>>& constraints);

    std::shared_ptr<View> firstItem() const { return firstItem_.lock(); }
    LayoutAttribute firstAttribute() const { return firstAttribute_; }
    LayoutRelation relation() const { return relation_; }
    std::shared_ptr<View> secondItem() const { return secondItem_.lock(); }
    LayoutAttribute secondAttribute() const { return secondAttribute_; }
    double multiplier() const { return multiplier_; }
    double constant() const { return constant_; }
    bool isActive() const { return active_; }
    void setActive(bool active);

private:
    LayoutConstraint() = default;
    friend class View;

    std::weak_ptr<View> firstItem_;
    LayoutAttribute firstAttribute_ = LayoutAttribute::NotAnAttribute;
    LayoutRelation relation_ = LayoutRelation::Equal;
    std::weak_ptr<View> secondItem_;
    LayoutAttribute secondAttribute_ = LayoutAttribute::NotAnAttribute;
    double multiplier_ = 1;
    double constant_ = 0;
    bool active_ = false;
    std::weak_ptr<View> installedOn_;
};

}  // namespace platform
