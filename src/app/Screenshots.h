// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <QString>

namespace kvitor {

class TfmMain;

// For the documentation's pictures: reads the storage's whole range in form
// and saves main-storage.png (before), main-running.png (during the job),
// main-finished.png (after it), save-dialog.png, error-range.png, about.png,
// driver-settings.png and viewer-filter.png into folder, then ends the
// program with exit code 0, or 1 when the job failed or took longer than a
// minute.
void StartScreenshotRun(TfmMain& form, const QString& folder);

}  // namespace kvitor
