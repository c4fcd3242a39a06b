#include "rtl/Classes.h"

#include <algorithm>

namespace System::Classes {

void* TList::Get(int i) const {
    if (i < 0 || i >= Count()) throw Sysutils::ERangeError("List index out of bounds (" + UnicodeString(std::to_string(i)) + ")");
    return items_[static_cast<std::size_t>(i)];
}
int TList::Add(void* item) {
    items_.push_back(item);
    return Count() - 1;
}
int TList::IndexOf(void* item) const {
    auto it = std::find(items_.begin(), items_.end(), item);
    return it == items_.end() ? -1 : static_cast<int>(it - items_.begin());
}
int TList::Remove(void* item) {
    const int i = IndexOf(item);
    if (i >= 0) items_.erase(items_.begin() + i);
    return i;
}
void TList::Delete(int i) {
    Get(i);
    items_.erase(items_.begin() + i);
}

TComponent::TComponent(TComponent* owner) {
    if (owner) owner->InsertComponent(this);
}

TComponent::~TComponent() {
    while (!owned_.empty()) delete owned_.back(); // each removes itself
    if (owner_) owner_->RemoveComponent(this);
}

void TComponent::InsertComponent(TComponent* c) {
    if (c->owner_) c->owner_->RemoveComponent(c);
    owned_.push_back(c);
    c->owner_ = this;
}

void TComponent::RemoveComponent(TComponent* c) {
    auto it = std::find(owned_.begin(), owned_.end(), c);
    if (it != owned_.end()) owned_.erase(it);
    c->owner_ = nullptr;
}

TClass TComponent::StaticClass() {
    static const TMetaClass cls = TClassBuilder<TComponent, TObject>("TComponent", "System.Classes").Build();
    return &cls;
}

} // namespace System::Classes
