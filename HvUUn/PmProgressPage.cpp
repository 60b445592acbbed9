#include "PmProgressPage.h"

#include "resource.h"

CPmProgressPage::CPmProgressPage(UINT templateId, UINT headerTitleId, UINT headerSubTitleId, int stepTextId,
                                 int stepBarId, UINT overallLabelStringId)
    : CPmWizardPage(templateId, headerTitleId, headerSubTitleId), m_nStepTextId(stepTextId), m_nStepBarId(stepBarId),
      m_nOverallLabelStringId(overallLabelStringId) {}

void CPmProgressPage::DoDataExchange(CDataExchange* dx) {
    CPmWizardPage::DoDataExchange(dx);
    DDX_Control(dx, m_nStepTextId, m_StepText);
    DDX_Control(dx, m_nStepBarId, m_StepBar);
    DDX_Control(dx, IDC_OVERALL_LABEL, m_OverallLabel);
    DDX_Control(dx, IDC_OVERALL_PROGRESS, m_OverallBar);
}

BOOL CPmProgressPage::OnInitDialog() {
    CPmWizardPage::OnInitDialog();
    SetPageTitle();
    SetControlText(m_OverallLabel, m_nOverallLabelStringId);
    HideIfSilent();
    return TRUE;
}

void CPmProgressPage::StartSteps(int count, UINT firstTextId) {
    m_OverallBar.SetRange(0, static_cast<short>(count));
    m_OverallBar.SetStep(1);
    SetControlText(m_StepText, firstTextId);
}

void CPmProgressPage::NextStep(UINT textId) {
    m_OverallBar.StepIt();
    SetControlText(m_StepText, textId);
}
