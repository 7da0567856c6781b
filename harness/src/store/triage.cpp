#include "store/triage.hpp"

namespace bench32::store {

const std::vector<std::string>& triageStates() {
  static const std::vector<std::string> states{"open", "fixed", "accepted", "false-positive"};
  return states;
}

void setTriage(Database& db, const TriageMark& mark) {
  Transaction transaction(db);
  db.query("DELETE FROM triage WHERE revision = ? AND program = ? AND workload = ? AND config = ?",
           {mark.revision, mark.program, mark.workload, mark.config});
  db.query("INSERT INTO triage (revision, program, workload, config, state, note, created) "
           "VALUES (?, ?, ?, ?, ?, ?, ?)",
           {mark.revision, mark.program, mark.workload, mark.config, mark.state, mark.note,
            mark.created});
  transaction.commit();
}

std::vector<TriageMark> loadTriage(Database& db) {
  std::vector<TriageMark> marks;
  for (const auto& row :
       db.query("SELECT revision, program, workload, config, state, note, created FROM triage "
                "ORDER BY created, revision, program, workload, config"))
    marks.push_back({asText(row[0]), asText(row[1]), asText(row[2]), asText(row[3]), asText(row[4]),
                     asText(row[5]), asText(row[6])});
  return marks;
}

} // namespace bench32::store
