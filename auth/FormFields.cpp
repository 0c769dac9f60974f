#include "auth/VelmoraAuth.h"

bool VelmoraAuth::isTicked(const QCheckBox* box)
{
    // A partially checked box counts as ticked too.
    return box->checkState() != Qt::Unchecked;
}

void VelmoraAuth::clearPasswordUnlessRemembered()
{
    if (!isTicked(ui.remberMe))
        ui.lineEdit_password->clear();
}
