// listtree: over ten iterations, grows a list of the integers read, copies it, builds a
// binary search tree from a copy, writes the list, the tree in three orders and the
// trace of fourteen searches, one value per line, then releases what it built.
//
// The list walks are the load: nothing caches a length, a cursor or a last node, so
// `get` walks from the first node each time and `buildTree` counts the list anew
// before every insertion.
#include "bench32.hpp"

namespace {
using namespace b32;

struct ListNode {
  Int value;
  Ref<ListNode> next;
};

struct TreeNode {
  Int value;
  Ref<TreeNode> left;
  Ref<TreeNode> right;
};

// ---------------------------------------------------------------------------
// Lists

Ref<ListNode> add(Ref<ListNode> list, Int v) {
  Ref<ListNode> node = newRecord<ListNode>();
  node->value = v;
  node->next = list;
  return node;
}

Int size(Ref<ListNode> list) {
  if (list == nullptr) return 0;
  return size(list->next) + 1;
}

Int get(Ref<ListNode> list, Int index) {
  if (index == 0) return list->value;
  return get(list->next, index - 1);
}

// Nothing in this program calls it; it belongs to the list operations all the same.
[[maybe_unused]] Ref<ListNode> pop(Ref<ListNode> list) { return list->next; }

Ref<ListNode> concatLists(Ref<ListNode> first, Ref<ListNode> second) {
  if (first == nullptr) return second;
  Ref<ListNode> last = first;
  while (last->next != nullptr) last = last->next;
  last->next = second;
  return first;
}

void printList(Ref<ListNode> list) {
  if (list == nullptr) return;
  println(list->value);
  printList(list->next);
}

// Releases the last node first and the first node last.
void freeList(Ref<ListNode> list) {
  if (list == nullptr) return;
  freeList(list->next);
  release(list);
}

Ref<ListNode> myCopy(Ref<ListNode> list) {
  if (list == nullptr) return nullptr;
  Ref<ListNode> n = add(nullptr, list->value);
  Ref<ListNode> r = myCopy(list->next);
  return concatLists(n, r);
}

// Puts every value of list, taken from the first position to the last, in front of low
// when it is at most pivot and in front of high otherwise.
void partition(Ref<ListNode> list, Int pivot, Ref<ListNode>& low, Ref<ListNode>& high) {
  Int j = 0;
  for (Ref<ListNode> node = list; node != nullptr; node = node->next) {
    if (get(list, j) > pivot) {
      high = add(high, get(list, j));
    } else {
      low = add(low, get(list, j));
    }
    ++j;
  }
}

Int smallest(Ref<ListNode> list) {
  Int least = list->value;
  for (Ref<ListNode> node = list->next; node != nullptr; node = node->next)
    if (node->value < least) least = node->value;
  return least;
}

// Nothing in this program calls it; it belongs to the list operations all the same.
[[maybe_unused]] Ref<ListNode> quickSort(Ref<ListNode> list) {
  if (size(list) < 2) return list;
  Int pivot = divide(get(list, 0) + get(list, size(list) - 1), 2);
  Ref<ListNode> low = nullptr;
  Ref<ListNode> high = nullptr;
  partition(list, pivot, low, high);
  if (low == nullptr || high == nullptr) {
    // The halved sum of the end values split nothing off (equal values, neighbours
    // whose halved sum rounds onto one of them, or a sum that wraps), and sorting the
    // same values again would never end. Split off the smallest values instead: that
    // always leaves both sides non-empty unless every value is equal, and then the
    // values are already in order.
    freeList(low);
    freeList(high);
    low = nullptr;
    high = nullptr;
    partition(list, smallest(list), low, high);
    if (high == nullptr) {
      freeList(list);
      return low;
    }
  }
  freeList(list);
  Ref<ListNode> s1 = quickSort(low);
  Ref<ListNode> s2 = quickSort(high);
  return concatLists(s1, s2);
}

// ---------------------------------------------------------------------------
// Trees

Ref<TreeNode> treeadd(Ref<TreeNode> tree, Int v) {
  if (tree == nullptr) {
    Ref<TreeNode> node = newRecord<TreeNode>();
    node->value = v;
    node->left = nullptr;
    node->right = nullptr;
    return node;
  }
  // The child is stored back on every level, also when it has not changed.
  if (v < tree->value) {
    tree->left = treeadd(tree->left, v);
  } else {
    tree->right = treeadd(tree->right, v);
  }
  return tree;
}

Ref<TreeNode> buildTree(Ref<ListNode> list) {
  Ref<TreeNode> tree = nullptr;
  for (Int j = 0; j < size(list); ++j) tree = treeadd(tree, get(list, j));
  return tree;
}

void treeprint(Ref<TreeNode> tree) {
  if (tree == nullptr) return;
  treeprint(tree->left);
  println(tree->value);
  treeprint(tree->right);
}

Ref<ListNode> inOrder(Ref<TreeNode> tree) {
  if (tree == nullptr) return nullptr;
  Ref<ListNode> n = newRecord<ListNode>();
  n->value = tree->value;
  n->next = nullptr;
  Ref<ListNode> l = inOrder(tree->left);
  Ref<ListNode> r = inOrder(tree->right);
  return concatLists(l, concatLists(n, r));
}

Ref<ListNode> postOrder(Ref<TreeNode> tree) {
  if (tree == nullptr) return nullptr;
  Ref<ListNode> n = newRecord<ListNode>();
  n->value = tree->value;
  n->next = nullptr;
  Ref<ListNode> l = postOrder(tree->left);
  Ref<ListNode> r = postOrder(tree->right);
  return concatLists(concatLists(l, r), n);
}

// Exhaustive pre-order search; every call writes -1, on empty subtrees too.
Int treesearch(Ref<TreeNode> tree, Int v) {
  println(-1);
  if (tree == nullptr) return 0;
  if (tree->value == v) return 1;
  if (treesearch(tree->left, v) == 1) return 1;
  if (treesearch(tree->right, v) == 1) return 1;
  return 0;
}

// Follows the search order from the root; every call writes -1, on empty subtrees too.
Int bintreesearch(Ref<TreeNode> tree, Int v) {
  println(-1);
  if (tree == nullptr) return 0;
  if (tree->value == v) return 1;
  if (v < tree->value) return bintreesearch(tree->left, v);
  return bintreesearch(tree->right, v);
}

void freeTree(Ref<TreeNode> tree) {
  if (tree == nullptr) return;
  freeTree(tree->left);
  freeTree(tree->right);
  release(tree);
}

// ---------------------------------------------------------------------------

constexpr Int kSearchValues[] = {0, 10, -2, 2, 3, 9, 1};

Int main() {
  Ref<ListNode> list = nullptr;
  Ref<ListNode> copyA = nullptr;
  Ref<ListNode> copyB = nullptr;
  for (Int counter = 0; counter < 10; ++counter) {
    Int v = read();
    list = add(list, v);
    // The copies of the previous iteration are not released: nothing needs them back.
    copyA = myCopy(list);
    copyB = myCopy(list);
    for (Int k = 0; k < 3; ++k) {
      printList(copyA);
      println(-999);
    }
    Ref<TreeNode> tree = buildTree(copyB);
    treeprint(tree);
    println(-999);
    Ref<ListNode> l = inOrder(tree);
    printList(l);
    println(-999);
    freeList(l);
    l = postOrder(tree);
    printList(l);
    println(-999);
    freeList(l);
    for (Int value : kSearchValues) {
      Int r = treesearch(tree, value);
      println(r);
      println(-999);
    }
    for (Int value : kSearchValues) {
      Int r = bintreesearch(tree, value);
      println(r);
      println(-999);
    }
    freeTree(tree);
  }
  freeList(list);
  freeList(copyA);
  freeList(copyB);
  return 0;
}

} // namespace

b32::Int b32::programMain() { return main(); }
