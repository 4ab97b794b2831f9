// SPDX-License-Identifier: GPL-3.0-or-later

#include "widgets/samples/designer/designer_plugin.h"

#include "widgets/samples/calendar.h"
#include "widgets/samples/color_grid.h"
#include "widgets/samples/directory_outline.h"
#include "widgets/samples/performance_graph.h"
#include "widgets/samples/spin_button.h"
#include "widgets/samples/spin_edit.h"
#include "widgets/samples/timer_speed_button.h"

namespace kelmora::widgets {

namespace {

template <typename Widget>
QWidget* Make(QWidget* Parent) {
  return new Widget(Parent);
}

}  // namespace

TSampleWidgetPlugin::TSampleWidgetPlugin(const QString& ClassName, const QString& Header,
                                         const QString& ToolTip, Factory Maker, QObject* Parent)
    : QObject(Parent),
      className_(ClassName),
      header_(Header),
      toolTip_(ToolTip),
      factory_(std::move(Maker)) {}

// The class names carry their namespace, which the default description would
// turn into an object name Designer cannot use; the bare class name serves.
QString TSampleWidgetPlugin::domXml() const {
  const QString objectName = className_.section(QStringLiteral("::"), -1);
  return QStringLiteral("<ui language=\"c++\"><widget class=\"%1\" name=\"%2\"/></ui>")
      .arg(className_, objectName);
}

TSampleWidgetCollection::TSampleWidgetCollection(QObject* Parent) : QObject(Parent) {
  const auto add = [this](const char* Name, const char* Header, const char* Tip,
                          TSampleWidgetPlugin::Factory Maker) {
    widgets_.append(
        new TSampleWidgetPlugin(QStringLiteral("kelmora::widgets::") + QLatin1String(Name),
                                QStringLiteral("widgets/samples/") + QLatin1String(Header),
                                QLatin1String(Tip), std::move(Maker), this));
  };
  add("TCCalendar", "calendar.h", "A month grid of days", Make<TCCalendar>);
  add("TCDirectoryOutline", "directory_outline.h", "A tree of folders below a root",
      Make<TCDirectoryOutline>);
  add("TCColorGrid", "color_grid.h", "The sixteen standard colours with two choices",
      Make<TCColorGrid>);
  add("TTimerSpeedButton", "timer_speed_button.h", "A button that repeats while held",
      Make<TTimerSpeedButton>);
  add("TCSpinButton", "spin_button.h", "An up and down pair of repeating buttons",
      Make<TCSpinButton>);
  add("TCSpinEdit", "spin_edit.h", "An integer edit with spin buttons", Make<TCSpinEdit>);
  add("TPerformanceGraph", "performance_graph.h", "A scrolling bar or line chart",
      Make<TPerformanceGraph>);
}

}  // namespace kelmora::widgets
