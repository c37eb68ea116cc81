// Removes the previous build, so that a file deleted from src/ cannot linger in dist/.
import { rmSync } from 'node:fs';

rmSync(new URL('../dist', import.meta.url), { recursive: true, force: true });
