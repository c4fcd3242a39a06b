// Runtime classes the object model takes for granted: an untyped pointer
// list and components that own the components created with them as owner.
#pragma once
#include <vector>

#include "rtl/TypInfo.h"

namespace System::Classes {

class TList {
public:
    int Count() const { return static_cast<int>(items_.size()); }
    void* Get(int i) const;
    int Add(void* item);
    int IndexOf(void* item) const;
    // Removes the first occurrence; returns its index or -1.
    int Remove(void* item);
    void Delete(int i);
    void Clear() { items_.clear(); }
private:
    std::vector<void*> items_;
};

class TComponent : public TObject {
public:
    using OwnerType = TComponent;
    explicit TComponent(TComponent* owner);
    ~TComponent() override; // destroys the owned components first
    NORVANE_CLASS_INFO();
    TComponent* GetOwner() const { return owner_; }
    int ComponentCount() const { return static_cast<int>(owned_.size()); }
    TComponent* Component(int i) const { return owned_.at(static_cast<std::size_t>(i)); }
    void InsertComponent(TComponent* c);
    void RemoveComponent(TComponent* c);
private:
    TComponent* owner_ = nullptr;
    std::vector<TComponent*> owned_;
};

} // namespace System::Classes
