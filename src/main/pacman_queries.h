#pragma once

#include "main/seams.h"

namespace pacpick {

/// Starts the real background queries on the runtime's worker threads.
class PacmanQueries final : public QueryStarter {
  public:
    rt::JoinHandle start_search(std::string query, Mode mode, SearchGeneration generation,
                                rt::Sender<QueryMessage> sender) override;
    rt::JoinHandle start_details(std::string name, DetailsGeneration generation,
                                 rt::Sender<QueryMessage> sender) override;
};

}  // namespace pacpick
