"""A recommendation for people and programs: the terminal table, JSON and HTML writers
(`outputs`), the report page (`recommendation_page`) and its pieces (`page`, `plots`,
`summary`, `purchase`, `formatting`). Importing this package loads none of them: the
command's start stays free of matplotlib."""
