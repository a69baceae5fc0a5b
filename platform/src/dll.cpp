// Intrusive doubly linked lists. A node whose links do not place it in the given list is
// left alone, so a stray remove or insert cannot corrupt a list.
#include "platform/dll.h"

namespace {

bool inList(const OzmDllList* list, const OzmDllNode* node) {
    return node->prev != nullptr ? node->prev->next == node : list->head == node;
}

}  // namespace

void ozmDLLInit(OzmDllList* list) {
    if (list == nullptr) {
        return;
    }
    list->head = nullptr;
    list->tail = nullptr;
    list->count = 0;
}

OzmDllNode* ozmDLLGetFirst(const OzmDllList* list) {
    return list != nullptr ? list->head : nullptr;
}

OzmDllNode* ozmDLLGetNext(const OzmDllNode* node) {
    return node != nullptr ? node->next : nullptr;
}

void ozmDLLInsertAtFront(OzmDllList* list, OzmDllNode* node) {
    if (list == nullptr || node == nullptr) {
        return;
    }
    node->prev = nullptr;
    node->next = list->head;
    if (list->head != nullptr) {
        list->head->prev = node;
    } else {
        list->tail = node;
    }
    list->head = node;
    ++list->count;
}

void ozmDLLInsertAtBack(OzmDllList* list, OzmDllNode* node) {
    if (list == nullptr || node == nullptr) {
        return;
    }
    node->next = nullptr;
    node->prev = list->tail;
    if (list->tail != nullptr) {
        list->tail->next = node;
    } else {
        list->head = node;
    }
    list->tail = node;
    ++list->count;
}

void ozmDLLInsertBefore(OzmDllList* list, OzmDllNode* before, OzmDllNode* node) {
    if (list == nullptr || node == nullptr) {
        return;
    }
    if (before == nullptr) {
        ozmDLLInsertAtBack(list, node);
        return;
    }
    if (!inList(list, before)) {
        return;
    }
    node->next = before;
    node->prev = before->prev;
    if (before->prev != nullptr) {
        before->prev->next = node;
    } else {
        list->head = node;
    }
    before->prev = node;
    ++list->count;
}

void ozmDLLRemove(OzmDllList* list, OzmDllNode* node) {
    if (list == nullptr || node == nullptr || !inList(list, node)) {
        return;
    }
    if (node->prev != nullptr) {
        node->prev->next = node->next;
    } else {
        list->head = node->next;
    }
    if (node->next != nullptr) {
        node->next->prev = node->prev;
    } else {
        list->tail = node->prev;
    }
    node->next = nullptr;
    node->prev = nullptr;
    --list->count;
}

uint32_t ozmDLLCount(const OzmDllList* list) {
    return list != nullptr ? list->count : 0;
}
