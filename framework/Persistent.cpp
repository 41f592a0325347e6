#include "framework/Persistent.h"

#include "framework/Exceptions.h"

void TPersistent::Assign(const TPersistent* Source) {
    if (Source == nullptr)
        AssignError(nullptr);
    Source->AssignTo(this);
}

void TPersistent::AssignTo(TPersistent* Dest) const {
    Dest->AssignError(this);
}

void TPersistent::AssignError(const TPersistent* Source) const {
    const char* sourceName = Source != nullptr ? Source->ClassName() : "nil";
    throw EConvertError(Format("Cannot assign a %s to a %s", sourceName, ClassName()));
}
