// SPDX-License-Identifier: GPL-3.0-or-later
//
// The sample widgets as one collection for Qt Designer's widget box.
#pragma once

#include <QtUiPlugin/QDesignerCustomWidgetCollectionInterface>
#include <QtUiPlugin/QDesignerCustomWidgetInterface>
#include <functional>

namespace kelmora::widgets {

// One widget of the collection: its class, header and how to make one.
class TSampleWidgetPlugin : public QObject, public QDesignerCustomWidgetInterface {
  Q_OBJECT
  Q_INTERFACES(QDesignerCustomWidgetInterface)

 public:
  using Factory = std::function<QWidget*(QWidget*)>;
  TSampleWidgetPlugin(const QString& ClassName, const QString& Header, const QString& ToolTip,
                      Factory Maker, QObject* Parent);

  QString name() const override { return className_; }
  QString group() const override { return QStringLiteral("Kelmora samples"); }
  QIcon icon() const override { return {}; }
  QString toolTip() const override { return toolTip_; }
  QString whatsThis() const override { return toolTip_; }
  bool isContainer() const override { return false; }
  QString includeFile() const override { return header_; }
  QString domXml() const override;
  QWidget* createWidget(QWidget* Parent) override { return factory_(Parent); }
  bool isInitialized() const override { return initialized_; }
  void initialize(QDesignerFormEditorInterface*) override { initialized_ = true; }

 private:
  QString className_;
  QString header_;
  QString toolTip_;
  Factory factory_;
  bool initialized_ = false;
};

class TSampleWidgetCollection : public QObject, public QDesignerCustomWidgetCollectionInterface {
  Q_OBJECT
  Q_PLUGIN_METADATA(IID QDesignerCustomWidgetCollectionInterface_iid)
  Q_INTERFACES(QDesignerCustomWidgetCollectionInterface)

 public:
  explicit TSampleWidgetCollection(QObject* Parent = nullptr);
  QList<QDesignerCustomWidgetInterface*> customWidgets() const override { return widgets_; }

 private:
  QList<QDesignerCustomWidgetInterface*> widgets_;
};

}  // namespace kelmora::widgets
