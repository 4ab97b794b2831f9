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
QWidget* Make(QWidget* parent) {
  return new Widget(parent);
}

}  // namespace

TSampleWidgetPlugin::TSampleWidgetPlugin(const QString& class_name, const QString& header,
                                         const QString& tool_tip, Factory factory, QObject* parent)
    : QObject(parent),
      class_name_(class_name),
      header_(header),
      tool_tip_(tool_tip),
      factory_(std::move(factory)) {}

// The class names carry their namespace, which the default description would
// turn into an object name Designer cannot use; the bare class name serves.
QString TSampleWidgetPlugin::domXml() const {
  const QString object_name = class_name_.section(QStringLiteral("::"), -1);
  return QStringLiteral("<ui language=\"c++\"><widget class=\"%1\" name=\"%2\"/></ui>")
      .arg(class_name_, object_name);
}

TSampleWidgetCollection::TSampleWidgetCollection(QObject* parent) : QObject(parent) {
  const auto add = [this](const char* name, const char* header, const char* tip,
                          TSampleWidgetPlugin::Factory factory) {
    widgets_.append(
        new TSampleWidgetPlugin(QStringLiteral("kelmora::widgets::") + QLatin1String(name),
                                QStringLiteral("widgets/samples/") + QLatin1String(header),
                                QLatin1String(tip), std::move(factory), this));
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
