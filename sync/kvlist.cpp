#include "sync/kvlist.h"

#include <cstdio>
#include <cstdlib>

KvList* kvListNewList() {
    return static_cast<KvList*>(calloc(1, sizeof(KvList)));
}

void kvListDeleteList(KvList* list) {
    if (list == nullptr) return;
    KvListItem* item = list->head;
    while (item != nullptr) {
        KvListItem* next = item->next;
        kvListFreeItem(item);
        item = next;
    }
    free(list);
}

KvListItem* kvListNewItem(void* data) {
    auto* item = static_cast<KvListItem*>(calloc(1, sizeof(KvListItem)));
    if (item != nullptr) item->data = data;
    return item;
}

void kvListFreeItem(KvListItem* item) {
    if (item == nullptr) return;
    item->data = nullptr;
    item->next = nullptr;
    item->prev = nullptr;
    free(item);
}

void* kvListItemData(KvListItem* item) { return item != nullptr ? item->data : nullptr; }

void kvListAddItemToHead(KvList* list, KvListItem* item) {
    if (list == nullptr || item == nullptr) return;
    item->prev = nullptr;
    item->next = list->head;
    if (list->head != nullptr) list->head->prev = item;
    list->head = item;
    if (list->tail == nullptr) list->tail = item;
}

void kvListAddItemToTail(KvList* list, KvListItem* item) {
    if (list == nullptr || item == nullptr) return;
    item->next = nullptr;
    item->prev = list->tail;
    if (list->tail != nullptr) list->tail->next = item;
    list->tail = item;
    if (list->head == nullptr) list->head = item;
}

void kvListRemoveItem(KvList* list, KvListItem* item) {
    if (list == nullptr || item == nullptr) return;
    if (item->prev == nullptr)
        list->head = item->next;
    else
        item->prev->next = item->next;
    if (item->next == nullptr)
        list->tail = item->prev;
    else
        item->next->prev = item->prev;
    item->next = nullptr;
    item->prev = nullptr;
}

void kvListRemoveAndFreeItem(KvList* list, KvListItem* item) {
    if (list == nullptr || item == nullptr) return;
    kvListRemoveItem(list, item);
    kvListFreeItem(item);
}

KvListItem* kvListHeadItem(KvList* list) { return list != nullptr ? list->head : nullptr; }

KvListItem* kvListTailItem(KvList* list) { return list != nullptr ? list->tail : nullptr; }

KvListItem* kvListNextItem(KvListItem* item) { return item != nullptr ? item->next : nullptr; }

KvListItem* kvListPrevItem(KvListItem* item) { return item != nullptr ? item->prev : nullptr; }

void kvCheckListConsistency(KvList* list) {
    if (list == nullptr) return;
    auto broken = [](const char* why) {
        fprintf(stderr, "kvCheckListConsistency: %s\n", why);
        exit(1);
    };
    if ((list->head == nullptr) != (list->tail == nullptr)) broken("head and tail disagree");
    // A head with a predecessor would also let a cycle keep the walk going.
    if (list->head != nullptr && list->head->prev != nullptr) broken("head has a predecessor");
    for (KvListItem* item = list->head; item != nullptr; item = item->next) {
        if (item->next != nullptr && item->next->prev != item) broken("next item does not point back");
        if (item->prev != nullptr && item->prev->next != item) broken("previous item does not point on");
        if (item->next == nullptr && list->tail != item) broken("last item is not the tail");
        if (item->prev == nullptr && list->head != item) broken("first item is not the head");
    }
}
