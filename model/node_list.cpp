// The owned node list (see node_list.h).
#include "model/node_list.h"

#include "mex.h"
#include "model/node.h"

#include <limits>
#include <new>

NodeList::~NodeList()
{
    for (int k = 0; k < count_; ++k)
        Node::destroy(nodes_[k]);
    if (on_heap_)
        delete[] nodes_;
    else if (nodes_)
        mxFree(nodes_);
}

bool NodeList::grow_in_host()
{
    if (count_ < capacity_)
        return true;
    const int slots = capacity_ == 0                                   ? 1
                      : capacity_ > std::numeric_limits<int>::max() / 2 ? capacity_ + 1
                                                                        : 2 * capacity_;
    void *grown = nodes_ ? mxRealloc(nodes_, static_cast<size_t>(slots) * sizeof(Node *)) : mxCalloc(1, sizeof(Node *));
    if (!grown)
        return false;
    nodes_ = static_cast<Node **>(grown);
    capacity_ = slots;
    return true;
}

bool NodeList::allocate_on_heap(int slots)
{
    nodes_ = new (std::nothrow) Node *[slots > 0 ? slots : 1];
    on_heap_ = nodes_ != nullptr;
    capacity_ = nodes_ ? slots : 0;
    return on_heap_;
}
