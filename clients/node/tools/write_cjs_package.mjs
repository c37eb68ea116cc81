// The CommonJS build lives inside a package whose "type" is "module"; this marker makes Node
// (and Electron before 28) load the files of dist/cjs as CommonJS.
import { writeFileSync } from 'node:fs';

writeFileSync(new URL('../dist/cjs/package.json', import.meta.url), '{ "type": "commonjs" }\n');
