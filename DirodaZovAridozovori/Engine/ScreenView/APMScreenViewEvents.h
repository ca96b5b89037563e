#pragma once
// What a screen view is reported as: the public event it comes from and the screen keys read from
// it, the internal event it becomes with its marks and origins, and the change notification that
// whoever measures by screen observes.
struct APMScreenViewEvents {
  static constexpr const char* kScreenViewEventName = "_vs";
  static constexpr const char* kPublicScreenViewEventName = "screen_view";
  static constexpr const char* kScreenNameKey = "screen_name";
  static constexpr const char* kScreenClassKey = "screen_class";
  // Marks a screen-view event of the screen-view reporter.
  static constexpr const char* kManualScreenTrackingParameter = "_mst";
  static constexpr const char* kEngagementTimeParameter = "_et";
  static constexpr const char* kOriginApp = "app";
  static constexpr const char* kOriginAuto = "auto";
  // Posted on the front's serial queue, in the screen view's place, as the active application
  // changes screens, with the parameters of the screen left (none at the first screen) and of the
  // new one.
  static constexpr const char* kScreenDidChangeNotification = "APMScreenViewReporterScreenDidChangeNotification";
  static constexpr const char* kPreviousScreenKey = "previousScreen";
  static constexpr const char* kScreenKey = "screen";
};
