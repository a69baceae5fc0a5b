// Intrusive doubly linked lists: a record that is a list node begins with its links.
#pragma once

#include <cstdint>

struct OzmDllNode {
    OzmDllNode* next;
    OzmDllNode* prev;
};

struct OzmDllList {
    OzmDllNode* head;
    OzmDllNode* tail;
    uint32_t count;
};

void ozmDLLInit(OzmDllList* list);
OzmDllNode* ozmDLLGetFirst(const OzmDllList* list);
OzmDllNode* ozmDLLGetNext(const OzmDllNode* node);  // NULL after the last node
void ozmDLLInsertAtFront(OzmDllList* list, OzmDllNode* node);
void ozmDLLInsertAtBack(OzmDllList* list, OzmDllNode* node);
// Inserts node before 'before', which must be in the list.
void ozmDLLInsertBefore(OzmDllList* list, OzmDllNode* before, OzmDllNode* node);
void ozmDLLRemove(OzmDllList* list, OzmDllNode* node);
uint32_t ozmDLLCount(const OzmDllList* list);
