#include "main/app_state.h"

namespace pacpick {

AppState::AppState(std::unique_ptr<EventSource> event_source)
    : AppState(rt::make_channel<QueryMessage>(), std::move(event_source)) {}

AppState::AppState(std::pair<rt::Sender<QueryMessage>, rt::Receiver<QueryMessage>> channel,
                   std::unique_ptr<EventSource> event_source)
    : result_sender(std::move(channel.first)),
      result_receiver(std::move(channel.second)),
      events(std::move(event_source)) {}

}  // namespace pacpick
