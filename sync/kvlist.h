// A small doubly linked list of separately allocated items, used for every
// collection of the sync server. The list never owns the data its items
// point at: freeing an item or a list leaves the data alone. It has no lock;
// each shared list is guarded by the lock of the state that holds it.
#pragma once

struct KvListItem {
    void* data;  // the caller's pointer, or a small integer such as a slot index
    KvListItem* next;
    KvListItem* prev;
};

struct KvList {
    KvListItem* head;
    KvListItem* tail;
};

// Every operation accepts null arguments and then does nothing (or returns
// null / 0).
KvList* kvListNewList();
// Frees every item from the head on, then the list; the data stays.
void kvListDeleteList(KvList* list);
KvListItem* kvListNewItem(void* data);
// Clears the item's fields and frees it; the data stays.
void kvListFreeItem(KvListItem* item);
void* kvListItemData(KvListItem* item);
void kvListAddItemToHead(KvList* list, KvListItem* item);
void kvListAddItemToTail(KvList* list, KvListItem* item);
// Unlinks the item and clears its links; membership is not tested.
void kvListRemoveItem(KvList* list, KvListItem* item);
void kvListRemoveAndFreeItem(KvList* list, KvListItem* item);
KvListItem* kvListHeadItem(KvList* list);
KvListItem* kvListTailItem(KvList* list);
KvListItem* kvListNextItem(KvListItem* item);
KvListItem* kvListPrevItem(KvListItem* item);
// Walks the list and ends the process with status 1 at the first broken
// link: a list this corrupt cannot be trusted by any later operation.
void kvCheckListConsistency(KvList* list);
