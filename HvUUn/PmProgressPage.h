// A wizard page whose worker shows its steps: a step text, the step's progress bar (which the
// operation runs) and the overall progress.
#pragma once

#include "PmWizardPage.h"

class CPmProgressPage : public CPmWizardPage {
public:
    CPmProgressPage(UINT templateId, UINT headerTitleId, UINT headerSubTitleId, int stepTextId, int stepBarId,
                    UINT overallLabelStringId);

protected:
    void DoDataExchange(CDataExchange* dx) override;
    BOOL OnInitDialog() override;

    // From the worker: the overall bar's range of steps, and the next step with its text.
    void StartSteps(int count, UINT firstTextId);
    void NextStep(UINT textId);

    CStatic m_StepText;
    CProgressCtrl m_StepBar;
    CStatic m_OverallLabel;
    CProgressCtrl m_OverallBar;

private:
    int m_nStepTextId;
    int m_nStepBarId;
    UINT m_nOverallLabelStringId;
};
