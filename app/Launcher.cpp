// The main window's side of the setup program launcher.
#include "app/MainFormUnit.h"

#include "app/SetupLauncher.h"

void TMainTandrelForm::StartSetupProgram() { FLauncher->StartSetupProgram(FRelay->VerInfo()); }

void TMainTandrelForm::StopSetupProgram() { FLauncher->StopSetupProgram(); }

bool TMainTandrelForm::SetupIsStarted() const { return FLauncher->SetupIsStarted(); }

QString TMainTandrelForm::SetupRefusal() const { return FLauncher->Refusal(); }

qint64 TMainTandrelForm::SetupProcessId() const { return FLauncher->SetupProcessId(); }
