#include "toolkit/lists.h"

#include "toolkit/exceptions.h"

TList::~TList() {
    TList::Clear();
}

void TList::Check(int index) const {
    if (index < 0 || index >= Count())
        ThrowListIndexError(index);
}

int TList::Add(void* item) {
    fItems.push_back(item);
    return Count() - 1;
}

void TList::Insert(int index, void* item) {
    if (index < 0 || index > Count())
        ThrowListIndexError(index);
    fItems.insert(fItems.begin() + index, item);
}

void TList::Delete(int index) {
    Check(index);
    fItems.erase(fItems.begin() + index);
}

void* TList::Get(int index) const {
    Check(index);
    return fItems[static_cast<size_t>(index)];
}

void TList::Put(int index, void* item) {
    Check(index);
    fItems[static_cast<size_t>(index)] = item;
}

int TList::IndexOf(const void* item) const {
    for (int i = 0; i < Count(); ++i)
        if (fItems[static_cast<size_t>(i)] == item)
            return i;
    return -1;
}

void TList::Clear() {
    fItems.clear();
}

int TStrings::AddObject(const String& s, TObject* obj) {
    int index = Count();
    InsertObject(index, s, obj);
    return index;
}

int TStrings::IndexOf(const String& s) const {
    for (int i = 0; i < Count(); ++i)
        if (SameText(Get(i), s))
            return i;
    return -1;
}

int TStrings::IndexOfObject(const TObject* obj) const {
    for (int i = 0; i < Count(); ++i)
        if (Objects(i) == obj)
            return i;
    return -1;
}

void TStrings::Assign(const TStrings& source) {
    if (&source == this)
        return;
    Clear();
    for (int i = 0; i < source.Count(); ++i)
        AddObject(source.Get(i), source.Objects(i));
}

String TStrings::Text() const {
    String s;
    for (int i = 0; i < Count(); ++i)
        s += Get(i) + L"\r\n";
    return s;
}

void TStringList::Check(int index) const {
    if (index < 0 || index >= Count())
        ThrowListIndexError(index);
}

String TStringList::Get(int index) const {
    Check(index);
    return fItems[static_cast<size_t>(index)].first;
}

TObject* TStringList::Objects(int index) const {
    Check(index);
    return fItems[static_cast<size_t>(index)].second;
}

void TStringList::Put(int index, const String& s) {
    Check(index);
    fItems[static_cast<size_t>(index)].first = s;
}

void TStringList::PutObject(int index, TObject* obj) {
    Check(index);
    fItems[static_cast<size_t>(index)].second = obj;
}

void TStringList::InsertObject(int index, const String& s, TObject* obj) {
    if (index < 0 || index > Count())
        ThrowListIndexError(index);
    fItems.insert(fItems.begin() + index, {s, obj});
}

void TStringList::Delete(int index) {
    Check(index);
    fItems.erase(fItems.begin() + index);
}
