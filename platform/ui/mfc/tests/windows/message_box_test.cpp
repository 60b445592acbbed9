// AfxMessageBox as the setup program and the uninstaller call it: the application's name as the
// caption, its main window as the owner while there is one, a prompt by its string ID.
#include "class_library_test.h"
#undef ASSERT

#include <afxwin.h>

#include <hv_resource.h>
#include <hvsim/user_hooks.h>

HV_STRINGTABLE_BEGIN
HV_STRING(701, u"Remove the driver package?")
HV_STRINGTABLE_END

namespace {

using MfcMessageBoxTest = ClassLibraryTest;

TEST_F(MfcMessageBoxTest, AfxMessageBoxSpeaksForTheApplicationOverItsMainWindow) {
    hvsim::user::reset_message_boxes();
    CWinApp app("Halvorn Tarrow Installation");
    hvsim::user::script_message_box_answers({IDNO, IDYES});
    EXPECT_EQ(IDNO, AfxMessageBox("Continue?", MB_YESNO));

    HWND main = CreateWindowExW(0, u"STATIC", u"main", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 10, 10, nullptr, nullptr,
                                nullptr, nullptr);
    ASSERT_NE(nullptr, main);
    CWnd frame;
    ASSERT_TRUE(frame.Attach(main));
    app.m_pMainWnd = &frame;
    EXPECT_EQ(IDYES, AfxMessageBox(701, MB_YESNO | MB_ICONQUESTION));
    app.m_pMainWnd = nullptr;
    frame.Detach();
    DestroyWindow(main);

    const auto boxes = hvsim::user::message_box_transcript();
    ASSERT_EQ(2u, boxes.size());
    EXPECT_EQ(u"Continue?", boxes[0].text);
    EXPECT_EQ(u"Halvorn Tarrow Installation", boxes[0].caption);
    EXPECT_EQ(nullptr, boxes[0].owner);
    EXPECT_EQ(u"Remove the driver package?", boxes[1].text);
    EXPECT_EQ(u"Halvorn Tarrow Installation", boxes[1].caption);
    EXPECT_EQ(main, boxes[1].owner);
    EXPECT_TRUE(boxes[1].owner_disabled);
    EXPECT_EQ(UINT(MB_YESNO | MB_ICONQUESTION), boxes[1].type);
    EXPECT_EQ(0u, hvsim::user::unscripted_message_boxes());
}

} // namespace
