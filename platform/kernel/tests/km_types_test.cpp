// The Windows widths and values that every byte count and status in the drivers relies on.
#include <ntddk.h>

#include <gtest/gtest.h>

TEST(KernelTypes, WidthsAreThoseOfWindowsX64) {
    EXPECT_EQ(sizeof(ULONG), 4u);
    EXPECT_EQ(sizeof(LONG), 4u);
    EXPECT_EQ(sizeof(NTSTATUS), 4u);
    EXPECT_EQ(sizeof(DWORD), 4u);
    EXPECT_EQ(sizeof(WCHAR), 2u);
    EXPECT_EQ(sizeof(ULONG_PTR), 8u);
    EXPECT_EQ(sizeof(SIZE_T), 8u);
    EXPECT_EQ(sizeof(PVOID), 8u);
    EXPECT_EQ(sizeof(UNICODE_STRING), 16u);
    EXPECT_EQ(sizeof(LIST_ENTRY), 16u);
    EXPECT_EQ(sizeof(IO_STATUS_BLOCK), 16u);
}

TEST(KernelTypes, StatusValues) {
    EXPECT_EQ(STATUS_PENDING, 0x103);
    EXPECT_EQ((ULONG)STATUS_CANCELLED, 0xC0000120u);
    EXPECT_FALSE(NT_SUCCESS(STATUS_BUFFER_TOO_SMALL));
    EXPECT_TRUE(NT_SUCCESS(STATUS_TIMEOUT));
    EXPECT_TRUE(NT_WARNING(STATUS_BUFFER_OVERFLOW));
}

TEST(KernelTypes, ListEntriesKeepOrder) {
    struct Item {
        int value;
        LIST_ENTRY link;
    };
    LIST_ENTRY head;
    InitializeListHead(&head);
    Item a{1, {}}, b{2, {}}, c{3, {}};
    InsertTailList(&head, &b.link);
    InsertHeadList(&head, &a.link);
    InsertTailList(&head, &c.link);
    EXPECT_EQ(CONTAINING_RECORD(RemoveHeadList(&head), Item, link)->value, 1);
    EXPECT_EQ(CONTAINING_RECORD(RemoveTailList(&head), Item, link)->value, 3);
    EXPECT_EQ(CONTAINING_RECORD(head.Flink, Item, link)->value, 2);
    EXPECT_TRUE(RemoveEntryList(&b.link));
    EXPECT_TRUE(IsListEmpty(&head));
}
