// The sixteen orientation button images, compiled into the program as
// resources (drawn by src/gui/resources/make_images.py), loaded once per
// process by name ("fb-left-r0" ... "adf-wide-r270").
#pragma once

#include <QIcon>
#include <QString>
#include <QStringList>

// The image of that name; a null icon for an unknown name.
QIcon OrientationImage(const QString& name);
// Every name, in the order flatbed left, flatbed top, feeder long, feeder wide.
const QStringList& OrientationImageNames();
// The application icon.
QIcon QuirelAppIcon();
