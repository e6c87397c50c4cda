// The nodes of a call, owned by the list: when the list goes, every node in
// it is destroyed, in order, and then the list's own memory is released.
// Drivers never destroy nodes or free a list by hand.
//
// Where the list lives is the driver's: training grows it one slot at a time
// in host memory (mxCalloc, then mxRealloc to twice the room), so the host
// sees its growth as it always has; classification takes one heap block of
// exactly as many slots as templates.
#ifndef QUORV_MODEL_NODE_LIST_H
#define QUORV_MODEL_NODE_LIST_H

class Node;

class NodeList {
public:
    NodeList() = default;
    ~NodeList();
    NodeList(const NodeList &) = delete;
    NodeList &operator=(const NodeList &) = delete;

    Node **nodes() const { return nodes_; }
    int count() const { return count_; }
    Node *operator[](int k) const { return nodes_[k]; }

    // Room for one more node in host memory, grown geometrically; false when
    // memory ran out (the list is then unchanged).
    bool grow_in_host();
    // Takes `node` as node count() (there must be room).
    void push(Node *node) { nodes_[count_++] = node; }

    // Room for `slots` nodes in one heap block (at least one), each then set
    // by fill, from any thread; false when memory ran out. Only for an empty
    // list.
    bool allocate_on_heap(int slots);
    void fill(int k, Node *node) { nodes_[k] = node; }
    // The first `count` slots, all filled, hold the list's nodes (null ones
    // are skipped when destroyed).
    void set_count(int count) { count_ = count; }

private:
    Node **nodes_ = nullptr;
    int count_ = 0;
    int capacity_ = 0;
    bool on_heap_ = false;
};

#endif
