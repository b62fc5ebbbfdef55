// The toolkit's non-visual core: components, events, lists, Format, date-time.
#include "toolkit/components.h"
#include "toolkit/datetime.h"
#include "toolkit/events.h"
#include "toolkit/exceptions.h"
#include "toolkit/format.h"
#include "toolkit/lists.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Records every destruction and every notice, with the state of the departing component.
struct TJournal {
    std::vector<std::wstring> Lines;
};

class TProbe : public TComponent {
public:
    TProbe(TComponent* owner, const wchar_t* name, TJournal& journal)
        : TComponent(owner), fJournal(journal) {
        SetName(name);
    }
    ~TProbe() override { fJournal.Lines.push_back(L"~" + GetName()); }

protected:
    void Notification(TComponent* c, TOperation op) override {
        TComponent::Notification(c, op);
        if (op == TOperation::opRemove)
            fJournal.Lines.push_back(GetName() + L" hears " + c->GetName() +
                                     (c->IsDestroying() ? L" (destroying)" : L""));
    }

private:
    TJournal& fJournal;
};

TEST(Components, OwnerDestroysLastCreatedFirst) {
    TJournal j;
    auto* owner = new TProbe(nullptr, L"Owner", j);
    new TProbe(owner, L"A", j);
    new TProbe(owner, L"B", j);
    new TProbe(owner, L"C", j);
    EXPECT_EQ(owner->ComponentCount(), 3);
    EXPECT_EQ(owner->FindComponent(L"b")->GetName(), L"B");
    delete owner;
    EXPECT_EQ(j.Lines, (std::vector<std::wstring>{L"~Owner", L"~C", L"~B", L"~A"}));
}

TEST(Components, SiblingHearsRemovalDuringOwnerTeardown) {
    TJournal j;
    auto* owner = new TProbe(nullptr, L"Owner", j);
    auto* watcher = new TProbe(owner, L"W", j);
    auto* subject = new TProbe(owner, L"S", j);
    subject->FreeNotification(watcher);
    delete owner;
    EXPECT_EQ(j.Lines,
              (std::vector<std::wstring>{L"~Owner", L"~S", L"W hears S (destroying)", L"~W"}));
}

TEST(Components, OwnerHearsInsertAndRemove) {
    TJournal j;
    TProbe owner(nullptr, L"Owner", j);
    auto* a = new TProbe(&owner, L"A", j);
    delete a;
    EXPECT_EQ(j.Lines, (std::vector<std::wstring>{L"~A", L"Owner hears A (destroying)"}));
    EXPECT_EQ(owner.ComponentCount(), 0);
}

TEST(Components, DuplicateNameIsRefused) {
    TJournal j;
    TProbe owner(nullptr, L"Owner", j);
    new TProbe(&owner, L"A", j);
    EXPECT_THROW(new TProbe(&owner, L"a", j), Exception);
    EXPECT_EQ(owner.ComponentCount(), 1); // the refused one is gone, and its owner knows
}

TEST(Components, FreeNotificationArrivesAfterDestructorInDestroyingState) {
    TJournal j;
    auto* watcher = new TProbe(nullptr, L"W", j);
    auto* subject = new TProbe(nullptr, L"S", j);
    subject->FreeNotification(watcher);
    delete subject;
    EXPECT_EQ(j.Lines, (std::vector<std::wstring>{L"~S", L"W hears S (destroying)"}));

    // The link is two-way: a watcher that goes first is never called back.
    j.Lines.clear();
    auto* subject2 = new TProbe(nullptr, L"S2", j);
    watcher->FreeNotification(subject2);
    delete watcher;
    j.Lines.clear();
    delete subject2;
    EXPECT_EQ(j.Lines, (std::vector<std::wstring>{L"~S2"}));
}

TEST(Components, RemoveFreeNotificationStopsNotices) {
    TJournal j;
    TProbe watcher(nullptr, L"W", j);
    auto* subject = new TProbe(nullptr, L"S", j);
    subject->FreeNotification(&watcher);
    subject->FreeNotification(&watcher); // twice is once
    subject->RemoveFreeNotification(&watcher);
    delete subject;
    EXPECT_EQ(j.Lines, (std::vector<std::wstring>{L"~S"}));
}

TEST(Components, DesignStateSpreadsToOwnedComponents) {
    TJournal j;
    TProbe owner(nullptr, L"Owner", j);
    auto* a = new TProbe(&owner, L"A", j);
    owner.SetDesigning(true);
    EXPECT_TRUE(a->IsDesigning());
    auto* b = new TProbe(&owner, L"B", j);
    EXPECT_TRUE(b->IsDesigning());
    EXPECT_FALSE(b->IsLoading());
}

TEST(Components, ClassNameIsTheMostDerivedType) {
    TJournal j;
    TProbe p(nullptr, L"P", j);
    EXPECT_EQ(p.ClassName(), L"TProbe");
}

struct TTarget {
    std::vector<std::wstring> Calls;
    void Ping(TObject*) { Calls.push_back(L"ping"); }
    void Pong(TObject*) { Calls.push_back(L"pong"); }
};

TEST(Events, ComparedAsFunctionAndObject) {
    TTarget a, b;
    auto aPing = TNotifyEvent::Bind<&TTarget::Ping>(&a);
    EXPECT_EQ(aPing, TNotifyEvent::Bind<&TTarget::Ping>(&a));
    EXPECT_NE(aPing, TNotifyEvent::Bind<&TTarget::Ping>(&b));
    EXPECT_NE(aPing, TNotifyEvent::Bind<&TTarget::Pong>(&a));
    EXPECT_EQ(aPing.Code(), TNotifyEvent::Bind<&TTarget::Ping>(&b).Code());

    TNotifyEvent none;
    EXPECT_FALSE(none.Assigned());
    EXPECT_TRUE(aPing.Assigned());
    aPing(nullptr);
    EXPECT_EQ(a.Calls, (std::vector<std::wstring>{L"ping"}));
    // Round trip through the raw parts that the form reader handles.
    EXPECT_EQ(TNotifyEvent::FromMethod(aPing.AsMethod()), aPing);
}

TEST(Lists, IndexErrors) {
    TList list;
    int x = 1, y = 2;
    EXPECT_EQ(list.Add(&x), 0);
    list.Insert(0, &y);
    EXPECT_EQ(list.Get(0), &y);
    EXPECT_EQ(list.IndexOf(&x), 1);
    EXPECT_THROW(list.Get(2), EListError);
    EXPECT_THROW(list.Get(-1), EListError);
    EXPECT_THROW(list.Delete(2), EListError);
    EXPECT_THROW(list.Put(5, &x), EListError);
    EXPECT_THROW(list.Insert(3, &x), EListError);
    list.Delete(0);
    EXPECT_EQ(list.Count(), 1);

    TStringList pairs;
    pairs.AddObject(L"one", nullptr);
    EXPECT_EQ(pairs.Get(0), L"one");
    EXPECT_THROW(pairs.Get(1), EListError);
    EXPECT_THROW(pairs.Objects(-1), EListError);
    EXPECT_THROW(pairs.Delete(1), EListError);
    EXPECT_THROW(pairs.InsertObject(2, L"x", nullptr), EListError);
}

TEST(Lists, ClearIsVirtualForCallers) {
    struct TCounting : TList {
        int Cleared = 0;
        void Clear() override {
            ++Cleared;
            TList::Clear();
        }
    } list;
    int x;
    list.Add(&x);
    TList& base = list;
    base.Clear();
    EXPECT_EQ(list.Cleared, 1);
    EXPECT_EQ(list.Count(), 0);
}

TEST(Format, Directives) {
    struct TCase {
        const wchar_t* Fmt;
        TVarRecs Args;
        const wchar_t* Expected;
    };
    const TCase cases[] = {
        {L"%d", {-42}, L"-42"},
        {L"%u", {4294967295u}, L"4294967295"},
        {L"%u", {-1}, L"4294967295"},
        {L"%x", {0xABCDEFu}, L"ABCDEF"},
        {L"%.8x", {0x1101u}, L"00001101"},
        {L"%.2x%.2x", {0x0Au, 0xBCu}, L"0ABC"},
        {L"%5d|%-5d|", {42, 42}, L"   42|42   |"},
        {L"%s and %s", {L"AT", String(L"OK")}, L"AT and OK"},
        {L"%.2s", {L"abc"}, L"ab"},
        {L"100%%", {}, L"100%"},
        {L"Fatal Error: %u, %u, %s", {13u, 2u, L"m"}, L"Fatal Error: 13, 2, m"},
        {L"extra %d", {1, 2}, L"extra 1"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Format(c.Fmt, c.Args), c.Expected) << c.Fmt;
}

TEST(Format, MismatchRaises) {
    EXPECT_THROW(Format(L"%d", {}), Exception);
    EXPECT_THROW(Format(L"%d", {L"text"}), Exception);
    EXPECT_THROW(Format(L"%s", {5}), Exception);
    EXPECT_THROW(Format(L"%q", {5}), Exception);
    EXPECT_THROW(Format(L"50%", {}), Exception);
}

TEST(DateTime, Encoding) {
    EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
    EXPECT_EQ(EncodeDate(1900, 1, 1), 2.0);
    EXPECT_EQ(EncodeDate(2000, 3, 1), 36586.0);
    EXPECT_EQ(EncodeDate(2024, 2, 29), 45351.0);
    EXPECT_EQ(EncodeDate(1, 1, 1), -693593.0);
    EXPECT_DOUBLE_EQ(EncodeTime(12, 0, 0, 0), 0.5);
    EXPECT_DOUBLE_EQ(EncodeTime(6, 30, 15, 500), (6 * 3600 + 30 * 60 + 15.5) / 86400.0);
}

TEST(DateTime, ImpossibleValuesRaise) {
    const int dates[][3] = {{0, 1, 1},     {2023, 2, 29}, {1900, 2, 29}, {2024, 13, 1},
                            {2024, 4, 31}, {2024, 1, 0},  {10000, 1, 1}};
    for (const auto& d : dates)
        EXPECT_THROW(EncodeDate(d[0], d[1], d[2]), EConvertError)
            << d[0] << "-" << d[1] << "-" << d[2];
    const int times[][4] = {
        {24, 0, 0, 0}, {0, 60, 0, 0}, {0, 0, 60, 0}, {0, 0, 0, 1000}, {-1, 0, 0, 0}};
    for (const auto& t : times)
        EXPECT_THROW(EncodeTime(t[0], t[1], t[2], t[3]), EConvertError);
}

} // namespace
