#include "platform/ui/LayoutConstraint.h"

#include "platform/ui/View.h"

namespace platform {

std::shared_ptr<LayoutConstraint> LayoutConstraint::constraintWithItem(const std::shared_ptr<View>& item,
                                                                       LayoutAttribute attribute,
                                                                       LayoutRelation relation,
                                                                       const std::shared_ptr<View>& toItem,
                                                                       LayoutAttribute toAttribute, double multiplier,
                                                                       double constant) {
    if (!item) return nullptr;
    std::shared_ptr<LayoutConstraint> constraint(new LayoutConstraint());
    constraint->firstItem_ = item;
    constraint->firstAttribute_ = attribute;
    constraint->relation_ = relation;
    constraint->secondItem_ = toItem;
    constraint->secondAttribute_ = toAttribute;
    constraint->multiplier_ = multiplier;
    constraint->constant_ = constant;
    return constraint;
}

void LayoutConstraint::activateConstraints(const std::vector<std::shared_ptr<LayoutConstraint>>& constraints) {
    for (const auto& constraint : constraints) {
        if (constraint) constraint->setActive(true);
    }
}

void LayoutConstraint::deactivateConstraints(const std::vector<std::shared_ptr<LayoutConstraint>>& constraints) {
    for (const auto& constraint : constraints) {
        if (constraint) constraint->setActive(false);
    }
}

void LayoutConstraint::setActive(bool active) {
    if (active == active_) return;
    if (!active) {
        if (auto host = installedOn_.lock()) host->removeConstraint(shared_from_this());
        return;
    }
    auto first = firstItem_.lock();
    if (!first) return;
    auto host = first->superview() ? first->superview() : first;
    host->addConstraint(shared_from_this());
}

}  // namespace platform
