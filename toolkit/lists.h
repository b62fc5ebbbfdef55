#pragma once
// Ordered lists of the toolkit. Every position outside a list raises EListError.

#include "toolkit/text.h"

#include <utility>
#include <vector>

class TObject;

// An ordered list of untyped pointers; it owns nothing they point to.
// The destructor runs TList::Clear; a descendant whose Clear releases its entries
// calls its own Clear from its own destructor.
class TList {
public:
    TList() = default;
    TList(const TList&) = delete;
    TList& operator=(const TList&) = delete;
    virtual ~TList();

    int Add(void* item);
    void Insert(int index, void* item);
    void Delete(int index);
    void* Get(int index) const;
    void Put(int index, void* item);
    int IndexOf(const void* item) const;
    int Count() const { return static_cast<int>(fItems.size()); }
    virtual void Clear();

private:
    void Check(int index) const;
    std::vector<void*> fItems;
};

// An ordered list of (text, object) pairs. The objects are only referred to.
// Descendants keep the pairs where they like (a control keeps them in its window).
class TStrings {
public:
    TStrings() = default;
    TStrings(const TStrings&) = delete;
    TStrings& operator=(const TStrings&) = delete;
    virtual ~TStrings() = default;

    virtual int Count() const = 0;
    virtual String Get(int index) const = 0;
    virtual TObject* Objects(int index) const = 0;
    virtual void Put(int index, const String& s) = 0;
    virtual void PutObject(int index, TObject* obj) = 0;
    virtual void InsertObject(int index, const String& s, TObject* obj) = 0;
    virtual void Delete(int index) = 0;
    virtual void Clear() = 0;

    int Add(const String& s) { return AddObject(s, nullptr); }
    // Appends the pair (a sorted list puts it in its place); returns its position.
    virtual int AddObject(const String& s, TObject* obj);
    void Insert(int index, const String& s) { InsertObject(index, s, nullptr); }
    int IndexOf(const String& s) const;
    int IndexOfObject(const TObject* obj) const;
    // Replaces the content by the pairs of source.
    void Assign(const TStrings& source);
    // The texts joined by CR LF, each followed by one.
    String Text() const;
};

// A TStrings that keeps its pairs in memory.
class TStringList : public TStrings {
public:
    int Count() const override { return static_cast<int>(fItems.size()); }
    String Get(int index) const override;
    TObject* Objects(int index) const override;
    void Put(int index, const String& s) override;
    void PutObject(int index, TObject* obj) override;
    void InsertObject(int index, const String& s, TObject* obj) override;
    void Delete(int index) override;
    void Clear() override { fItems.clear(); }

private:
    void Check(int index) const;
    std::vector<std::pair<String, TObject*>> fItems;
};
